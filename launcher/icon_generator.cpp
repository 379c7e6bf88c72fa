// Host tool run at build time: draws the launcher's application icon and writes it as an .ico file
// with three images: 48x48 at 32 bits, 32x32 at 24 bits, 16x16 at 32 bits.
//
// The picture is a small remote control: a dark rounded body, a red power button and a grid of keys,
// on a transparent background. Usage: icon_generator OUTPUT.ico

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

struct Rgba {
    double r, g, b, a;
};

// Coverage of a rounded rectangle at a point (1 inside, 0 outside, soft at the border).
double rounded_rect(double x, double y, double x0, double y0, double x1, double y1, double radius) {
    double cx = x < x0 + radius ? x0 + radius : x > x1 - radius ? x1 - radius : x;
    double cy = y < y0 + radius ? y0 + radius : y > y1 - radius ? y1 - radius : y;
    double d = std::hypot(x - cx, y - cy) - radius;
    if (x >= x0 + radius && x <= x1 - radius) d = std::max(y0 - y, y - y1);
    if (y >= y0 + radius && y <= y1 - radius) d = std::max(x0 - x, x - x1);
    return std::fmin(1.0, std::fmax(0.0, 0.5 - d));
}

double circle(double x, double y, double cx, double cy, double r) {
    return std::fmin(1.0, std::fmax(0.0, 0.5 - (std::hypot(x - cx, y - cy) - r)));
}

Rgba over(Rgba dst, Rgba src, double coverage) {
    double a = src.a * coverage;
    double out_a = a + dst.a * (1 - a);
    if (out_a <= 0) return {0, 0, 0, 0};
    return {(src.r * a + dst.r * dst.a * (1 - a)) / out_a, (src.g * a + dst.g * dst.a * (1 - a)) / out_a,
            (src.b * a + dst.b * dst.a * (1 - a)) / out_a, out_a};
}

// The picture in a unit square, sampled at pixel centres of a size x size grid with 4x4 supersampling.
std::vector<Rgba> draw(int size) {
    std::vector<Rgba> pixels(static_cast<std::size_t>(size * size));
    const Rgba body{0.16, 0.20, 0.27, 1}, rim{0.45, 0.52, 0.62, 1}, power{0.86, 0.18, 0.16, 1},
        key{0.78, 0.84, 0.90, 1};
    for (int py = 0; py < size; ++py) {
        for (int px = 0; px < size; ++px) {
            Rgba sum{0, 0, 0, 0};
            for (int sy = 0; sy < 4; ++sy) {
                for (int sx = 0; sx < 4; ++sx) {
                    double x = (px + (sx + 0.5) / 4) / size, y = (py + (sy + 0.5) / 4) / size;
                    double s = size;  // work in pixels for the soft edges
                    Rgba c{0, 0, 0, 0};
                    c = over(c, rim, rounded_rect(x * s, y * s, 0.22 * s, 0.04 * s, 0.78 * s, 0.96 * s, 0.14 * s));
                    c = over(c, body, rounded_rect(x * s, y * s, 0.27 * s, 0.09 * s, 0.73 * s, 0.91 * s, 0.11 * s));
                    c = over(c, power, circle(x * s, y * s, 0.5 * s, 0.23 * s, 0.09 * s));
                    for (int row = 0; row < 3; ++row) {
                        for (int col = 0; col < 2; ++col) {
                            double kx = (0.40 + col * 0.20) * s, ky = (0.45 + row * 0.15) * s;
                            c = over(c, key, circle(x * s, y * s, kx, ky, 0.055 * s));
                        }
                    }
                    sum.r += c.r * c.a;
                    sum.g += c.g * c.a;
                    sum.b += c.b * c.a;
                    sum.a += c.a;
                }
            }
            Rgba& p = pixels[static_cast<std::size_t>(py * size + px)];
            p = sum.a > 0 ? Rgba{sum.r / sum.a, sum.g / sum.a, sum.b / sum.a, sum.a / 16} : Rgba{0, 0, 0, 0};
        }
    }
    return pixels;
}

void put16(std::vector<std::uint8_t>& out, unsigned v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}
std::uint8_t byte_of(double v) { return static_cast<std::uint8_t>(std::lround(std::fmin(1, std::fmax(0, v)) * 255)); }

// One icon image: BITMAPINFOHEADER (height doubled), the colour rows bottom-up, the AND mask.
std::vector<std::uint8_t> encode(int size, int bits) {
    std::vector<Rgba> pixels = draw(size);
    std::vector<std::uint8_t> out;
    int row_bytes = ((size * bits / 8) + 3) & ~3;
    int mask_row_bytes = ((size + 31) / 32) * 4;
    put32(out, 40);
    put32(out, static_cast<std::uint32_t>(size));
    put32(out, static_cast<std::uint32_t>(size * 2));
    put16(out, 1);
    put16(out, static_cast<unsigned>(bits));
    put32(out, 0);
    put32(out, static_cast<std::uint32_t>((row_bytes + mask_row_bytes) * size));
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    for (int y = size - 1; y >= 0; --y) {
        std::size_t start = out.size();
        for (int x = 0; x < size; ++x) {
            const Rgba& p = pixels[static_cast<std::size_t>(y * size + x)];
            bool opaque = bits == 32 || p.a >= 0.5;
            out.push_back(opaque ? byte_of(p.b) : 0);
            out.push_back(opaque ? byte_of(p.g) : 0);
            out.push_back(opaque ? byte_of(p.r) : 0);
            if (bits == 32) out.push_back(byte_of(p.a));
        }
        out.resize(start + static_cast<std::size_t>(row_bytes), 0);
    }
    for (int y = size - 1; y >= 0; --y) {
        std::vector<std::uint8_t> row(static_cast<std::size_t>(mask_row_bytes), 0);
        for (int x = 0; x < size; ++x) {
            if (pixels[static_cast<std::size_t>(y * size + x)].a < 0.5) {
                row[static_cast<std::size_t>(x / 8)] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
            }
        }
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: icon_generator OUTPUT.ico\n");
        return 2;
    }
    const int sizes[3] = {48, 32, 16};
    const int bits[3] = {32, 24, 32};
    std::vector<std::vector<std::uint8_t>> images;
    for (int i = 0; i < 3; ++i) images.push_back(encode(sizes[i], bits[i]));

    std::vector<std::uint8_t> file;
    put16(file, 0);
    put16(file, 1);  // icon
    put16(file, 3);
    std::uint32_t offset = 6 + 16 * 3;
    for (int i = 0; i < 3; ++i) {
        file.push_back(static_cast<std::uint8_t>(sizes[i]));
        file.push_back(static_cast<std::uint8_t>(sizes[i]));
        file.push_back(0);  // no palette
        file.push_back(0);
        put16(file, 1);
        put16(file, static_cast<unsigned>(bits[i]));
        put32(file, static_cast<std::uint32_t>(images[static_cast<std::size_t>(i)].size()));
        put32(file, offset);
        offset += static_cast<std::uint32_t>(images[static_cast<std::size_t>(i)].size());
    }
    for (const auto& image : images) file.insert(file.end(), image.begin(), image.end());

    std::FILE* f = std::fopen(argv[1], "wb");
    if (f == nullptr || std::fwrite(file.data(), 1, file.size(), f) != file.size() || std::fclose(f) != 0) {
        std::fprintf(stderr, "icon_generator: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}

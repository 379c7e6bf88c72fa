#include "wirelet/desktop/launch_target.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "wirelet/desktop/ascii_case.h"

namespace NWireletDesktop {
namespace {

// File types that Windows runs as code, or whose program runs code from them when they are opened:
// the types that Microsoft Outlook blocks as attachments by default (its "Level 1" list, published
// by Microsoft as "Blocked attachments in Outlook"), which is kept for exactly this reason. The
// machine's PATHEXT adds its own program types, and the launch asks the system's own list
// (AssocIsDangerous) as well. Lower case, without the dot.
const wchar_t* const kProgramFileTypes[] = {
    L"ade",
    L"adp",
    L"app",
    L"appcontent-ms",
    L"application",
    L"appref-ms",
    L"asp",
    L"aspx",
    L"asx",
    L"bas",
    L"bat",
    L"bgi",
    L"cab",
    L"cdxml",
    L"cer",
    L"chm",
    L"cmd",
    L"cnt",
    L"com",
    L"cpl",
    L"crt",
    L"csh",
    L"der",
    L"diagcab",
    L"exe",
    L"fxp",
    L"gadget",
    L"grp",
    L"hlp",
    L"hpj",
    L"hta",
    L"htc",
    L"inf",
    L"ins",
    L"isp",
    L"its",
    L"jar",
    L"jnlp",
    L"js",
    L"jse",
    L"ksh",
    L"lnk",
    L"mad",
    L"maf",
    L"mag",
    L"mam",
    L"maq",
    L"mar",
    L"mas",
    L"mat",
    L"mau",
    L"mav",
    L"maw",
    L"mcf",
    L"mda",
    L"mdb",
    L"mde",
    L"mdt",
    L"mdw",
    L"mdz",
    L"msc",
    L"msh",
    L"msh1",
    L"msh1xml",
    L"msh2",
    L"msh2xml",
    L"mshxml",
    L"msi",
    L"msp",
    L"mst",
    L"msu",
    L"ops",
    L"osd",
    L"pcd",
    L"pif",
    L"pl",
    L"plg",
    L"prf",
    L"prg",
    L"printerexport",
    L"ps1",
    L"ps1xml",
    L"ps2",
    L"ps2xml",
    L"psc1",
    L"psc2",
    L"psd1",
    L"psdm1",
    L"pssc",
    L"pst",
    L"py",
    L"pyc",
    L"pyo",
    L"pyw",
    L"pyz",
    L"pyzw",
    L"reg",
    L"scf",
    L"scr",
    L"sct",
    L"settingcontent-ms",
    L"shb",
    L"shs",
    L"theme",
    L"tmp",
    L"udl",
    L"url",
    L"vb",
    L"vbe",
    L"vbp",
    L"vbs",
    L"vhd",
    L"vhdx",
    L"vsmacros",
    L"vsw",
    L"webpnp",
    L"website",
    L"ws",
    L"wsb",
    L"wsc",
    L"wsf",
    L"wsh",
    L"xbap",
    L"xll",
    L"xnk",
};

// Characters that the best-fit tables of Windows' ANSI code pages turn into a quote or a backslash
// for a program that reads its command line in the code page (U+FF02 becomes " under 1252, U+00A5
// becomes \ under 932): inside a quoted argument either would end it early or escape its closing
// quote. No local document that holds one is passed on.
const std::wstring kBestFitQuotesAndBackslashes =
    L"\u02BA\u02EE\u030E\u2033\u3003\u301D\u301E\u301F\uFF02"  // to "
    L"\u00A5\u20A9\u2216\uFE68\uFF3C";                         // to \ (yen, won, set minus, small and fullwidth)

const std::wstring kScriptHosts[] = {L"powershell", L"pwsh", L"wscript", L"cscript", L"mshta", L"conhost"};

bool IsAsciiLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

bool StartsWithFolded(const std::wstring& text, const std::wstring& prefix) {
    return text.size() >= prefix.size() && FoldAsciiLower(text.substr(0, prefix.size())) == prefix;
}

int HexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// The last path component (after the last \ or /).
std::wstring LastComponent(const std::wstring& path) {
    std::size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

// The text with every %XX escape decoded as UTF-8; empty where an escape is not two hex digits,
// the bytes are not well-formed UTF-8 (overlong forms and surrogates included), or a byte decodes
// to U+0000.
std::optional<std::wstring> PercentDecodeUtf8(const std::wstring& text) {
    std::wstring out;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] != L'%') {
            out += text[i++];
            continue;
        }
        // A run of escapes: decode its bytes as UTF-8.
        std::vector<std::uint8_t> run;
        while (i < text.size() && text[i] == L'%') {
            if (i + 2 >= text.size() || HexValue(text[i + 1]) < 0 || HexValue(text[i + 2]) < 0) return std::nullopt;
            run.push_back(static_cast<std::uint8_t>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
            i += 3;
        }
        for (std::size_t k = 0; k < run.size();) {
            std::uint8_t lead = run[k];
            std::uint32_t code;
            std::size_t length;
            if (lead < 0x80) {
                code = lead;
                length = 1;
            } else if (lead >= 0xC2 && lead <= 0xDF) {
                code = lead & 0x1F;
                length = 2;
            } else if (lead >= 0xE0 && lead <= 0xEF) {
                code = lead & 0x0F;
                length = 3;
            } else if (lead >= 0xF0 && lead <= 0xF4) {
                code = lead & 0x07;
                length = 4;
            } else {
                return std::nullopt;
            }
            if (k + length > run.size()) return std::nullopt;
            for (std::size_t j = 1; j < length; ++j) {
                if ((run[k + j] & 0xC0) != 0x80) return std::nullopt;
                code = code << 6 | (run[k + j] & 0x3F);
            }
            const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
            if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF) || code == 0) {
                return std::nullopt;
            }
            if (code >= 0x10000) {
                out += static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10));
                out += static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
            } else {
                out += static_cast<wchar_t>(code);
            }
            k += length;
        }
    }
    return out;
}

// A drive path as it stands: "X:" and a separator, then components that name the same file to
// every reader (see LocalDocumentPath).
bool IsPlainDrivePath(const std::wstring& path) {
    if (path.size() < 4 || !IsAsciiLetter(path[0]) || path[1] != L':' || (path[2] != L'\\' && path[2] != L'/')) {
        return false;
    }
    for (std::size_t i = 0; i < path.size(); ++i) {
        const wchar_t c = path[i];
        if (c < 0x20 || std::wstring(L"\"*?<>|").find(c) != std::wstring::npos || (c == L':' && i != 1)) return false;
        if (kBestFitQuotesAndBackslashes.find(c) != std::wstring::npos) return false;
    }
    for (std::size_t from = 3;;) {
        std::size_t end = path.find_first_of(L"\\/", from);
        const std::wstring component = path.substr(from, end == std::wstring::npos ? std::wstring::npos : end - from);
        if (component.empty() || component == L"." || component == L".." || component.back() == L'.' ||
            component.back() == L' ') {
            return false;
        }
        if (end == std::wstring::npos) break;
        from = end + 1;
    }
    const std::wstring name = LastComponent(path);
    const std::size_t dot = name.rfind(L'.');
    return dot != std::wstring::npos && dot + 1 < name.size();
}

}  // namespace

std::optional<std::wstring> ToUriForm(const std::wstring& url) {
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    std::wstring out;
    for (std::size_t i = 0; i < url.size(); ++i) {
        std::uint32_t code = static_cast<std::uint32_t>(url[i]);
        if (code >= 0xD800 && code <= 0xDBFF) {
            if (i + 1 >= url.size() || url[i + 1] < 0xDC00 || url[i + 1] > 0xDFFF) return std::nullopt;
            code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<std::uint32_t>(url[++i]) - 0xDC00);
        } else if (code >= 0xDC00 && code <= 0xDFFF) {
            return std::nullopt;
        }
        const bool keep = code > 0x20 && code < 0x7F && code != L'"' && code != L'<' && code != L'>' && code != L'`';
        if (keep) {
            out += static_cast<wchar_t>(code);
            continue;
        }
        std::uint8_t bytes[4];
        std::size_t length;
        if (code < 0x80) {
            bytes[0] = static_cast<std::uint8_t>(code);
            length = 1;
        } else if (code < 0x800) {
            bytes[0] = static_cast<std::uint8_t>(0xC0 | code >> 6);
            bytes[1] = static_cast<std::uint8_t>(0x80 | (code & 0x3F));
            length = 2;
        } else if (code < 0x10000) {
            bytes[0] = static_cast<std::uint8_t>(0xE0 | code >> 12);
            bytes[1] = static_cast<std::uint8_t>(0x80 | (code >> 6 & 0x3F));
            bytes[2] = static_cast<std::uint8_t>(0x80 | (code & 0x3F));
            length = 3;
        } else {
            bytes[0] = static_cast<std::uint8_t>(0xF0 | code >> 18);
            bytes[1] = static_cast<std::uint8_t>(0x80 | (code >> 12 & 0x3F));
            bytes[2] = static_cast<std::uint8_t>(0x80 | (code >> 6 & 0x3F));
            bytes[3] = static_cast<std::uint8_t>(0x80 | (code & 0x3F));
            length = 4;
        }
        for (std::size_t k = 0; k < length; ++k) {
            out += L'%';
            out += kHex[bytes[k] >> 4];
            out += kHex[bytes[k] & 0xF];
        }
    }
    return out;
}

std::optional<std::wstring> LocalDocumentPath(const std::wstring& text) {
    if (IsPlainDrivePath(text)) return text;
    if (!StartsWithFolded(text, L"file:")) return std::nullopt;
    std::wstring rest = text.substr(5);
    rest = rest.substr(0, rest.find_first_of(L"?#"));
    // The authority: none, empty or localhost; a drive letter may stand where a host would.
    if (rest.compare(0, 2, L"//") == 0) {
        rest = rest.substr(2);
        if (StartsWithFolded(rest, L"localhost/")) rest = rest.substr(9);
        if (!rest.empty() && rest[0] != L'/' &&
            !(rest.size() >= 2 && IsAsciiLetter(rest[0]) && (rest[1] == L':' || rest[1] == L'|'))) {
            return std::nullopt;  // a host: a file on another machine
        }
    }
    if (!rest.empty() && rest[0] == L'/') rest = rest.substr(1);
    std::optional<std::wstring> path = PercentDecodeUtf8(rest);
    if (!path || path->size() < 2 || !IsAsciiLetter((*path)[0])) return std::nullopt;
    if ((*path)[1] == L'|') (*path)[1] = L':';
    std::replace(path->begin(), path->end(), L'/', L'\\');
    if (!IsPlainDrivePath(*path)) return std::nullopt;
    return path;
}

bool IsProgramFileType(const std::wstring& path, const std::wstring& pathExt) {
    const std::wstring name = LastComponent(path);
    const std::size_t dot = name.rfind(L'.');
    if (dot == std::wstring::npos) return false;
    const std::wstring extension = FoldAsciiLower(name.substr(dot + 1));
    for (const wchar_t* type : kProgramFileTypes) {
        if (extension == type) return true;
    }
    for (std::size_t from = 0; from <= pathExt.size();) {
        std::size_t end = pathExt.find(L';', from);
        if (end == std::wstring::npos) end = pathExt.size();
        std::wstring entry = FoldAsciiLower(pathExt.substr(from, end - from));
        if (!entry.empty() && entry[0] == L'.') entry.erase(0, 1);
        if (!entry.empty() && entry == extension) return true;
        from = end + 1;
    }
    return false;
}

std::vector<std::wstring> FileNameParts(const std::wstring& program) {
    const std::wstring name = FoldAsciiLower(LastComponent(program));
    std::vector<std::wstring> parts;
    for (std::size_t from = 0;;) {
        std::size_t colon = name.find(L':', from);
        std::wstring part = name.substr(from, colon == std::wstring::npos ? std::wstring::npos : colon - from);
        part.erase(part.find_last_not_of(L". ") + 1);  // all of it when it holds nothing else (npos + 1 == 0)
        parts.push_back(std::move(part));
        if (colon == std::wstring::npos) return parts;
        from = colon + 1;
    }
}

bool IsScriptHost(const std::wstring& program) {
    for (std::wstring part : FileNameParts(program)) {
        if (part.size() > 4 && part.compare(part.size() - 4, 4, L".exe") == 0) part.resize(part.size() - 4);
        part.erase(part.find_last_not_of(L". ") + 1);
        if (std::find(std::begin(kScriptHosts), std::end(kScriptHosts), part) != std::end(kScriptHosts)) return true;
    }
    return false;
}

std::optional<CLaunchTarget> ClassifyLaunchTarget(const std::wstring& text, const std::wstring& pathExt,
                                                  const FDocumentFileCheck& isDocumentFile) {
    if (text.find(L'\0') != std::wstring::npos) return std::nullopt;
    for (const wchar_t* scheme : {L"http:", L"https:"}) {
        if (StartsWithFolded(text, scheme) && text.size() > std::wstring(scheme).size()) {
            std::optional<std::wstring> uri = ToUriForm(text);
            if (!uri) return std::nullopt;
            return CLaunchTarget(ELaunchTargetKind::WebAddress, *uri);
        }
    }
    std::optional<std::wstring> path = LocalDocumentPath(text);
    if (!path || IsProgramFileType(*path, pathExt) || !isDocumentFile || !isDocumentFile(*path)) return std::nullopt;
    if (*path == text) return CLaunchTarget(ELaunchTargetKind::LocalDocument, text);
    std::optional<std::wstring> uri = ToUriForm(text);
    if (!uri) return std::nullopt;
    return CLaunchTarget(ELaunchTargetKind::LocalDocument, *uri);
}

}  // namespace NWireletDesktop

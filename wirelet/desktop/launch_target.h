#pragma once
// What a browser launch may open, decided before anything is composed or handed to the shell. The
// text comes from outside (a web page, a file, a message), so only two kinds pass:
//
// - a web address: "http:" or "https:" (ASCII letters in any case) with something after it. It is
//   turned into its URI form: every character that a browser's own URL parser percent-encodes in a
//   path or query is percent-encoded as UTF-8 (%XX, upper-case hex): the C0 controls, space, ",
//   <, >, `, DEL and everything above U+007E. All else stays as it is, existing %XX escapes
//   included. So a web address holds printable ASCII only, no blank and no quote, and starts with
//   its scheme: no program reads it as a switch, splits it, or best-fits a character of it into
//   syntax of its own.
// - a local document: an absolute path on a drive ("C:\..." or "C:/...") or a file: URL of one,
//   naming an existing file whose type is not one that Windows runs as code. A path is passed as it
//   is; a file: URL takes its URI form like a web address.
//
// Anything else is refused: switches, bare names, relative paths, UNC and device paths (which would
// also hand the user's credentials to a server), other schemes, programs. This file holds text code
// only (no Windows headers); the file system is asked through a function the caller supplies.

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace NWireletDesktop {

// Whether a local path names an existing file (not a directory) that the system itself does not
// count as a dangerous type. Supplied by the caller; the path has passed every text check below.
using FDocumentFileCheck = std::function<bool(const std::wstring& path)>;

enum class ELaunchTargetKind { WebAddress, LocalDocument };

// A text that ClassifyLaunchTarget accepted, in the form it is handed on. Made only there, so that
// whatever takes one can rely on what it holds: never U+0000, a C0 control, a quote, < or >; and
// for a web address (or a file: URL) nothing outside printable ASCII and no blank.
class CLaunchTarget {
public:
    ELaunchTargetKind Kind() const { return m_Kind; }
    const std::wstring& Text() const { return m_Text; }

private:
    CLaunchTarget(ELaunchTargetKind kind, std::wstring text) : m_Kind(kind), m_Text(std::move(text)) {}
    friend std::optional<CLaunchTarget> ClassifyLaunchTarget(const std::wstring&, const std::wstring&,
                                                             const FDocumentFileCheck&);

    ELaunchTargetKind m_Kind;
    std::wstring m_Text;
};

// The web address or local document the text names, or empty when it is neither (see above).
// pathExt is the value of PATHEXT (";"-separated extensions that the command processor runs as
// programs); its entries count as program types as well as the fixed list.
std::optional<CLaunchTarget> ClassifyLaunchTarget(const std::wstring& text, const std::wstring& pathExt,
                                                  const FDocumentFileCheck& isDocumentFile);

// The URI form of a URL (see above). Empty for a lone surrogate, which has no UTF-8 form.
std::optional<std::wstring> ToUriForm(const std::wstring& url);

// The local path that a document text names, by its text alone: a drive path as it is, or the
// percent-decoded path of a file: URL (file:///C:/..., file://localhost/C:/..., file:/C:/...,
// file:C:/..., "|" for ":" after the drive letter, query and fragment ignored) with "\" separators.
// Empty when the text is neither, or the path is not one that names the same file to every reader:
// a character that no file name holds (C0 controls, " * ? < > |, a ":" past the drive), a "." or
// ".." component, a component ending in a dot or a space (Windows drops those), an empty component,
// a character that a program reading the ANSI code page would get best-fit into a quote, a
// backslash or another character of ASCII syntax, or no file name with an extension at the end.
std::optional<std::wstring> LocalDocumentPath(const std::wstring& text);

// Whether the file name's type is one that Windows runs as code, or that runs code when opened: its
// extension (ASCII letters in any case) is in the fixed list in the source or in pathExt.
bool IsProgramFileType(const std::wstring& path, const std::wstring& pathExt);

// The parts of a program's file name that Windows may read as the name: the last path component
// (after the last \ or /), ASCII letters folded, split at each ":" (a drive as in C:cmd, a stream
// as in cmd.exe::$DATA), each without the trailing dots and spaces that Windows drops.
std::vector<std::wstring> FileNameParts(const std::wstring& program);

// Whether the program is a script host that reads its arguments as script, which no browser command
// may start: a part of its file name (FileNameParts), with or without ".exe", is powershell, pwsh,
// wscript, cscript, mshta or conhost.
bool IsScriptHost(const std::wstring& program);

}  // namespace NWireletDesktop

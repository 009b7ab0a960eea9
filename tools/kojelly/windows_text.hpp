// Text at the Windows API, for the tool's Windows files: UTF-8 inside, UTF-16 at every call
// that takes text, and the system's own wording of an error code. It brings windows.h, set up
// once for all of those files (no min/max macros, the lean set of headers), so each includes it
// before any other system header.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>
#include <string_view>

namespace kojelly::cli {

// text as UTF-16 in out; false when text is not UTF-8.
bool widen(std::string_view text, std::wstring &out);

// text as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string narrow(std::wstring_view text);

// Releases a block that the system allocated with LocalAlloc for the caller (FormatMessageW,
// CommandLineToArgvW, ConvertSidToStringSidW): the release function of a Handle.
void free_local(void *block) noexcept;

// The system's one-line text for code, with the number behind it ("... (error 12029)"): the
// texts alone are too vague to look up. module, when not null, holds a message table that is
// searched first (WinHTTP's codes are in winhttp.dll's). A text that names its subject as an
// insert ("%1 is not a valid Win32 application") gets subject there.
std::string system_message(DWORD code, std::string_view subject = {}, HMODULE module = nullptr);

}  // namespace kojelly::cli

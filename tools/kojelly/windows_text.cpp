// Text at the Windows API; see windows_text.hpp.
#include "windows_text.hpp"

#include <climits>

#include "owned.hpp"
#include "text.hpp"

namespace kojelly::cli {

void free_local(void *block) noexcept {
    LocalFree(block);
}

bool widen(std::string_view text, std::wstring &out) {
    out.clear();
    if (text.empty()) return true;
    if (text.size() > INT_MAX) return false;
    const int n = static_cast<int>(text.size());
    const int len = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), n, nullptr, 0);
    if (len <= 0) return false;
    out.resize(static_cast<std::size_t>(len));
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), n, out.data(), len) ==
           len;
}

std::string narrow(std::wstring_view text) {
    if (text.empty() || text.size() > INT_MAX) return {};
    const int n = static_cast<int>(text.size());
    const int len = WideCharToMultiByte(CP_UTF8, 0, text.data(), n, nullptr, 0, nullptr, nullptr);
    if (len <= 0) return {};
    std::string out(static_cast<std::size_t>(len), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), n, out.data(), len, nullptr, nullptr);
    return out;
}

std::string system_message(DWORD code, std::string_view subject, HMODULE module) {
    wchar_t *buffer = nullptr;
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                        FORMAT_MESSAGE_IGNORE_INSERTS | (module ? FORMAT_MESSAGE_FROM_HMODULE : 0);
    const DWORD length =
        FormatMessageW(flags, module, code, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    const Handle<wchar_t, free_local> text(buffer);
    std::string message;
    if (text && length > 0) message = std::string(trim(narrow({text.get(), length})));
    while (!message.empty() && message.back() == '.') message.pop_back();
    for (char &c : message) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    for (auto at = message.find("%1"); at != std::string::npos; at = message.find("%1", at)) {
        message.replace(at, 2, subject);
        at += subject.size();
    }
    const std::string number = "error " + std::to_string(code);
    return message.empty() ? number : message + " (" + number + ")";
}

}  // namespace kojelly::cli

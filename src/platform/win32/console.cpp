// Windows console services: the wide command line, the window title, whether
// a stream is a console, text in the console's code page, and the local time.
#include "platform/win32/internal.h"

#include <shellapi.h>

#include <ctime>

namespace qmr {

using namespace win32;

std::vector<std::string> command_line_arguments(int argc, const char* const* argv) {
  // The 8-bit argv has been through the code page; the wide command line has not.
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> result;
  for (int i = 0; i < count; ++i) result.push_back(narrow(arguments[i], wcslen(arguments[i])));
  LocalFree(arguments);
  return result;
}

void set_console_title(const std::string& title) { SetConsoleTitleW(wide(title).c_str()); }

bool stdout_is_terminal() {
  return GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR;
}

bool stderr_is_terminal() {
  return GetFileType(GetStdHandle(STD_ERROR_HANDLE)) == FILE_TYPE_CHAR;
}

std::string console_text(std::string_view text) {
  const UINT code_page = GetOEMCP();
  if (code_page == CP_UTF8) return std::string(text);
  const std::wstring units = wide(text);
  if (units.empty()) return {};
  // No best fit: a character the page lacks shows as "?", never as a
  // look-alike that could read as another character, a separator above all.
  BOOL substituted = FALSE;
  const int size = static_cast<int>(units.size());
  const int needed = WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, units.data(), size,
                                         nullptr, 0, "?", &substituted);
  std::string result(static_cast<size_t>(needed > 0 ? needed : 0), '\0');
  if (needed > 0) {
    WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, units.data(), size, result.data(),
                        needed, "?", &substituted);
  }
  return result;
}

std::string current_time_text() {
  const std::time_t now = std::time(nullptr);
  const char* text = std::ctime(&now);
  return text != nullptr ? text : "";
}

}  // namespace qmr

// Upper-casing and ANSI code page conversion through the system's own services.
#include <windows.h>

#include <climits>

#include "common/text.h"

namespace kestrelon {

std::wstring upper_case(std::wstring_view text) {
  std::wstring copy(text);
  if (!copy.empty()) CharUpperBuffW(copy.data(), static_cast<DWORD>(copy.size()));
  return copy;
}

std::wstring ansi_to_wide(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > INT_MAX) return {};
  const int in_length = static_cast<int>(bytes.size());
  const int length = MultiByteToWideChar(CP_ACP, 0, bytes.data(), in_length, nullptr, 0);
  if (length <= 0) return {};
  std::wstring text(static_cast<size_t>(length), L'\0');
  const int written = MultiByteToWideChar(CP_ACP, 0, bytes.data(), in_length, text.data(), length);
  text.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return text;
}

std::string wide_to_ansi(std::wstring_view text) {
  if (text.empty() || text.size() > INT_MAX) return {};
  const int in_length = static_cast<int>(text.size());
  // No default character given: the code page's own stands for what it lacks.
  const int length =
      WideCharToMultiByte(CP_ACP, 0, text.data(), in_length, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return {};
  std::string bytes(static_cast<size_t>(length), '\0');
  const int written = WideCharToMultiByte(CP_ACP, 0, text.data(), in_length, bytes.data(), length,
                                          nullptr, nullptr);
  bytes.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return bytes;
}

}  // namespace kestrelon

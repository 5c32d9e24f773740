// The program's modal message boxes and its messages.
#pragma once

#include <memory>
#include <string>

namespace kestrelon {

inline constexpr wchar_t kErrorTitle[] = L"Eroare";
inline constexpr wchar_t kBadPortSettingsText[] =
    L"Configurare COM/PORT Incorecta\r\nInchidem Aplicatia";
inline constexpr wchar_t kNoDeviceText[] =
    L"Aparatul fiscal nu este in modul de lucru\nsau nu are parametrul de comunicatie "
    L"setat\n\nrog reincercati";

enum class Answer { yes, no };

class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  // OK only, no icon; returns when the user closes it.
  virtual void show_plain(const std::wstring& title, const std::wstring& text) = 0;
  // Yes and No, no icon; the user's answer. A box that cannot be shown answers No, so that
  // nobody is left with a retry loop they cannot stop.
  virtual Answer ask_yes_no(const std::wstring& title, const std::wstring& text) = 0;
};

std::unique_ptr<MessageBoxes> make_system_message_boxes();

}  // namespace kestrelon

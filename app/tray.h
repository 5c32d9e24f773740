// The notification-area icon shown while a run lasts.
#pragma once

#include <memory>
#include <string_view>

namespace kestrelon {

class TrayIndicator {
 public:
  virtual ~TrayIndicator() = default;
  // Removes the icon from the notification area (first step of the exit path).
  virtual void remove_icon() = 0;
  // Destroys the windows, then frees the icon image and the menu.
  virtual void destroy() = 0;
};

// The tray step: hidden main window, text box, icon image, tray icon, tray menu.
// Failures are not examined; whatever could not be made is missing. An empty `tooltip` gives
// the icon none, as Kestrelon.exe's has.
std::unique_ptr<TrayIndicator> make_tray_indicator(std::wstring_view tooltip = {});

}  // namespace kestrelon

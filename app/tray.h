// The notification-area icon shown while a run lasts.
#pragma once

#include <memory>

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
// Failures are not examined; whatever could not be made is missing.
std::unique_ptr<TrayIndicator> make_tray_indicator();

}  // namespace kestrelon

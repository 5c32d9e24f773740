// On a terminal there is no notification area: the indicator shows nothing.
#include "app/tray.h"

namespace kestrelon {
namespace {

class TerminalTrayIndicator final : public TrayIndicator {
 public:
  void remove_icon() override {}
  void destroy() override {}
};

}  // namespace

std::unique_ptr<TrayIndicator> make_tray_indicator(std::wstring_view) {
  return std::make_unique<TerminalTrayIndicator>();
}

}  // namespace kestrelon

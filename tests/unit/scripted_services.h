// Message boxes answered from a script and a tray that only records, for the tests of the run
// and of the scan. Every box and tray call goes to the fake platform's event log, so that the
// order of boxes, port traffic and tray steps can be asserted together.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "app/message_boxes.h"
#include "app/tray.h"

namespace kestrelon::testing {

class ScriptedBoxes : public MessageBoxes {
 public:
  explicit ScriptedBoxes(std::vector<std::string>& events) : events_(events) {}
  void show_plain(const std::wstring& title, const std::wstring& text) override {
    events_.push_back("box plain");
    shown.emplace_back(title, text);
  }
  // Answers in order; No once the script has run out.
  Answer ask_yes_no(const std::wstring& title, const std::wstring& text) override {
    events_.push_back("box yes/no");
    shown.emplace_back(title, text);
    const Answer answer = answers.empty() ? Answer::no : answers.front();
    if (!answers.empty()) answers.erase(answers.begin());
    return answer;
  }
  std::vector<Answer> answers;
  std::vector<std::pair<std::wstring, std::wstring>> shown;

 private:
  std::vector<std::string>& events_;
};

class RecordingTray : public TrayIndicator {
 public:
  explicit RecordingTray(std::vector<std::string>& events) : events_(events) {
    events_.push_back("tray shown");
  }
  void remove_icon() override { events_.push_back("tray icon removed"); }
  void destroy() override { events_.push_back("tray destroyed"); }

 private:
  std::vector<std::string>& events_;
};

}  // namespace kestrelon::testing

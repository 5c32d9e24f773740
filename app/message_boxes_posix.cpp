// Message boxes on the terminal: the title in brackets and the text on standard error; the
// yes/no question reads its answer from standard input when that is a terminal.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "app/message_boxes.h"

namespace kestrelon {
namespace {

// The same for every question: the retry after an empty scan and the technician's pin.
constexpr char kAnswerPrompt[] = "Da sau nu? (d/n): ";

// UTF-8 for the terminal; a CR before LF is dropped so that "\r\n" is one line break.
std::string terminal_text(const std::wstring& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<uint32_t>(text[i]);
    if (c == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') continue;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x110000) {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back('?');
    }
  }
  return out;
}

void print_box(const std::wstring& title, const std::wstring& text) {
  std::fprintf(stderr, "[%s]\n%s\n", terminal_text(title).c_str(), terminal_text(text).c_str());
  std::fflush(stderr);
}

// What one line typed at the question says.
enum class Typed { yes, no, other, end };

// One line of input; only its first non-blank character counts (d/y yes, n no).
Typed read_answer() {
  char line[256];
  if (std::fgets(line, sizeof line, stdin) == nullptr) return Typed::end;
  const std::string answer(line);
  // Consume the rest of an over-long line so that it is not read as the next answer.
  std::string chunk = answer;
  while (!chunk.empty() && chunk.back() != '\n') {
    if (std::fgets(line, sizeof line, stdin) == nullptr) break;
    chunk = line;
  }
  const size_t first = answer.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return Typed::other;
  switch (answer[first]) {
    case 'd':
    case 'D':
    case 'y':
    case 'Y':
      return Typed::yes;
    case 'n':
    case 'N':
      return Typed::no;
    default:
      return Typed::other;
  }
}

class TerminalMessageBoxes final : public MessageBoxes {
 public:
  void show_plain(const std::wstring& title, const std::wstring& text) override {
    print_box(title, text);
  }

  Answer ask_yes_no(const std::wstring& title, const std::wstring& text) override {
    print_box(title, text);
    // With nobody at a terminal there is no one to answer: No, or the 256-port scan
    // would repeat without end.
    if (!isatty(STDIN_FILENO)) {
      std::fprintf(stderr, "%sn\n", kAnswerPrompt);
      std::fflush(stderr);
      return Answer::no;
    }
    for (;;) {
      std::fputs(kAnswerPrompt, stderr);
      std::fflush(stderr);
      switch (read_answer()) {
        case Typed::yes:
          return Answer::yes;
        case Typed::no:
          return Answer::no;
        case Typed::end:
          std::fputc('\n', stderr);
          return Answer::no;
        case Typed::other:
          break;
      }
    }
  }
};

}  // namespace

std::unique_ptr<MessageBoxes> make_system_message_boxes() {
  return std::make_unique<TerminalMessageBoxes>();
}

}  // namespace kestrelon

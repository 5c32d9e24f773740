// The other POSIX services on real files, locks and terminals: text conversion, the
// settings file's file services, the single-instance guard and the terminal message boxes.
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "app/file_system.h"
#include "app/instance_guard.h"
#include "app/message_boxes.h"
#include "app/settings_file.h"
#include "common/text.h"
#include "posix_test_support.h"

namespace kestrelon {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

std::wstring wide(const std::string& text) {
  return std::wstring(text.begin(), text.end());
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(PosixText, UpperCasingCoversMoreThanAscii) {
  struct Case {
    std::wstring in;
    std::wstring out;
  };
  const Case cases[] = {
      {L"com3", L"COM3"},
      {L"Port", L"PORT"},
      {L"\u00e9\u00e0", L"\u00c9\u00c0"},
      {L"\u0103\u0219\u021b", L"\u0102\u0218\u021a"},
      {L"\u03b1\u03c9", L"\u0391\u03a9"},
      {L";com=1 \t", L";COM=1 \t"},
      {L"", L""},
  };
  for (const Case& c : cases) EXPECT_EQ(upper_case(c.in), c.out);
}

TEST(PosixText, SingleByteTextIsLatin1) {
  EXPECT_EQ(ansi_to_wide(std::string("\x02\x23\xA0\x80\xFF", 5)), L"\x02\x23\xA0\x80\xFF");
  EXPECT_EQ(wide_to_ansi(L"\x02\x23\xA0\x80\xFF"), std::string("\x02\x23\xA0\x80\xFF", 5));
  EXPECT_EQ(wide_to_ansi(L"a\u0103\u20acb"), "a??b");
  EXPECT_EQ(ansi_to_wide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
  EXPECT_EQ(wide_to_ansi(L""), "");
}

class PosixFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }
  TempDir dir_;
};

TEST_F(PosixFileTest, FileSizeTellsMissingDirectoryAndSize) {
  EXPECT_EQ(file_size(wide(dir_.file("none.ini"))), kFileMissing);
  EXPECT_EQ(file_size(wide(dir_.path())), kFileIsDirectory);
  { std::ofstream(dir_.file("five.ini")) << "12345"; }
  EXPECT_EQ(file_size(wide(dir_.file("five.ini"))), 5);
  { std::ofstream(dir_.file("empty.ini")); }
  EXPECT_EQ(file_size(wide(dir_.file("empty.ini"))), 0);
  EXPECT_EQ(file_size(wide(dir_.file("\u0103.ini")) + L"\u0103"), kFileMissing);
}

TEST_F(PosixFileTest, WriteNewFileCreatesOrReplaces) {
  const std::string path = dir_.file(wide_to_ansi(kSettingsFileName));
  write_new_file(wide(path), "first\r\n");
  EXPECT_EQ(read_file(path), "first\r\n");
  write_new_file(wide(path), "2\r\n");
  EXPECT_EQ(read_file(path), "2\r\n");
  // A longer file is truncated, not overwritten in place.
  write_new_file(wide(path), ";com=COM1\r\n;port=115200\r\n");
  write_new_file(wide(path), "x");
  EXPECT_EQ(read_file(path), "x");
  write_new_file(wide(path), "");
  EXPECT_EQ(file_size(wide(path)), 0);
}

TEST_F(PosixFileTest, WriteNewFileLeavesDirectoriesFifosAndLinksAlone) {
  const std::string directory = dir_.file("dir.ini");
  ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
  write_new_file(wide(directory), "x");
  EXPECT_EQ(file_size(wide(directory)), kFileIsDirectory);
  const std::string fifo = dir_.file("fifo.ini");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  write_new_file(wide(fifo), "x");  // must not wait for a reader
  struct stat info {};
  ASSERT_EQ(stat(fifo.c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
  // A dangling link is never followed to make its target, by either.
  const std::string target = dir_.file("elsewhere.ini");
  const std::string link = dir_.file("Kestrelon.ini");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  write_new_file(wide(link), "x");
  EXPECT_EQ(ReadableFile::open(wide(link)), nullptr);
  EXPECT_NE(access(target.c_str(), F_OK), 0);
}

TEST_F(PosixFileTest, ReadableFileReadsToTheEnd) {
  const std::string path = dir_.file(wide_to_ansi(kSettingsFileName));
  { std::ofstream(path, std::ios::binary) << "com=COM3\r\nport=9600"; }
  auto file = ReadableFile::open(wide(path));
  ASSERT_NE(file, nullptr);
  std::string content;
  char buffer[4];
  for (int64_t count; (count = file->read(buffer, sizeof buffer)) > 0;) {
    content.append(buffer, static_cast<size_t>(count));
  }
  EXPECT_EQ(content, "com=COM3\r\nport=9600");
  EXPECT_EQ(file->read(buffer, sizeof buffer), 0);
}

TEST_F(PosixFileTest, ReadableFileIsCreatedEmptyWhenMissing) {
  const std::string path = dir_.file("missing.ini");
  auto file = ReadableFile::open(wide(path));
  ASSERT_NE(file, nullptr);
  char buffer[8];
  EXPECT_EQ(file->read(buffer, sizeof buffer), 0);
  EXPECT_EQ(file_size(wide(path)), 0);
}

TEST_F(PosixFileTest, ReadableFileRefusesWhatIsNoRegularFile) {
  EXPECT_EQ(ReadableFile::open(wide(dir_.path())), nullptr);
  const std::string fifo = dir_.file("fifo.ini");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_EQ(ReadableFile::open(wide(fifo)), nullptr);
  const std::string device = dir_.file("zero.ini");
  ASSERT_EQ(symlink("/dev/zero", device.c_str()), 0);
  EXPECT_EQ(ReadableFile::open(wide(device)), nullptr);
}

TEST(PosixInstanceGuard, OneHolderAtATimeAndFreeAfterwards) {
  TempDir dir;
  ScopedEnv lock_dir("KESTRELON_LOCK_DIR", dir.path().c_str());
  {
    InstanceGuard first;
    EXPECT_FALSE(first.another_copy_running());
    // Another process is what the guard is for.
    const pid_t child = fork();
    if (child == 0) {
      InstanceGuard second;
      _exit(second.another_copy_running() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  InstanceGuard after;
  EXPECT_FALSE(after.another_copy_running());
  struct stat info {};
  EXPECT_EQ(stat(dir.file("Kestrelon-Vantrel-Ombrix.lock").c_str(), &info), 0);
}

TEST(PosixInstanceGuard, AProcessThatEndsDropsTheGuard) {
  TempDir dir;
  ScopedEnv lock_dir("KESTRELON_LOCK_DIR", dir.path().c_str());
  const pid_t child = fork();
  if (child == 0) {
    static InstanceGuard held;  // never destroyed: only the process end releases it
    _exit(held.another_copy_running() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  InstanceGuard next;
  EXPECT_FALSE(next.another_copy_running());
}

TEST(PosixInstanceGuard, ASymlinkOrForeignFileIsNoGuardButTheRunGoesOn) {
  TempDir dir;
  ScopedEnv lock_dir("KESTRELON_LOCK_DIR", dir.path().c_str());
  const std::string lock = dir.file("Kestrelon-Vantrel-Ombrix.lock");
  const std::string target = dir.file("target");
  ASSERT_EQ(symlink(target.c_str(), lock.c_str()), 0);
  InstanceGuard guard;
  EXPECT_FALSE(guard.another_copy_running());
  struct stat info {};
  EXPECT_NE(stat(target.c_str(), &info), 0);  // nothing created through the link
}

// Runs ask_yes_no in a child whose standard input is `input_fd`; returns its answer, none when
// the child did not end by itself.
std::optional<Answer> answer_in_child(int input_fd, int error_fd) {
  constexpr int kYes = 1;
  constexpr int kNo = 2;
  const pid_t child = fork();
  if (child == 0) {
    dup2(input_fd, STDIN_FILENO);
    dup2(error_fd, STDERR_FILENO);
    _exit(make_system_message_boxes()->ask_yes_no(kErrorTitle, kNoDeviceText) == Answer::yes ? kYes
                                                                                             : kNo);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status)) return std::nullopt;
  if (WEXITSTATUS(status) == kYes) return Answer::yes;
  if (WEXITSTATUS(status) == kNo) return Answer::no;
  return std::nullopt;
}

TEST(PosixMessageBoxes, WithoutATerminalTheAnswerIsNo) {
  TempDir dir;
  const std::string input = dir.file("answers");
  { std::ofstream(input) << "d\n"; }  // a file is nobody at a terminal
  const int in = open(input.c_str(), O_RDONLY);
  const int err = open(dir.file("stderr").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(in, 0);
  EXPECT_EQ(answer_in_child(in, err), Answer::no);
  close(in);
  close(err);
  const std::string shown = read_file(dir.file("stderr"));
  EXPECT_EQ(shown.rfind("[Eroare]\nAparatul fiscal nu este in modul de lucru\n", 0), 0u) << shown;
  EXPECT_NE(shown.find("Da sau nu? (d/n): "), std::string::npos);
}

TEST(PosixMessageBoxes, AtATerminalTheUserAnswers) {
  struct Case {
    const char* typed;
    Answer answer;
    int prompts;
  };
  const Case cases[] = {
      {"d\n", Answer::yes, 1},    {"Y\n", Answer::yes, 1},       {"n\n", Answer::no, 1},
      {"N\n", Answer::no, 1},     {"x\n\nda\n", Answer::yes, 3}, {"  nu\n", Answer::no, 1},
      {"maybe\n", Answer::no, 2},  // then end of input
  };
  for (const Case& c : cases) {
    TempDir dir;
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const std::string typed(c.typed);
    ASSERT_EQ(write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    if (c.answer == Answer::no && c.prompts == 2) {
      const char eof = 0x04;  // ^D at the start of a line: end of input
      ASSERT_EQ(write(master, &eof, 1), 1);
    }
    const int err = open(dir.file("stderr").c_str(), O_WRONLY | O_CREAT, 0644);
    EXPECT_EQ(answer_in_child(slave, err), c.answer) << c.typed;
    close(err);
    close(slave);
    close(master);
    const std::string shown = read_file(dir.file("stderr"));
    size_t prompts = 0;
    for (size_t at = shown.find("Da sau nu?"); at != std::string::npos;
         at = shown.find("Da sau nu?", at + 1)) {
      ++prompts;
    }
    EXPECT_EQ(prompts, static_cast<size_t>(c.prompts)) << c.typed;
  }
}

TEST(PosixMessageBoxes, ThePlainBoxShowsTitleAndText) {
  TempDir dir;
  const int err = open(dir.file("stderr").c_str(), O_WRONLY | O_CREAT, 0644);
  const pid_t child = fork();
  if (child == 0) {
    dup2(err, STDERR_FILENO);
    make_system_message_boxes()->show_plain(kErrorTitle, kBadPortSettingsText);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  close(err);
  EXPECT_EQ(read_file(dir.file("stderr")),
            "[Eroare]\nConfigurare COM/PORT Incorecta\nInchidem Aplicatia\n");
}

}  // namespace
}  // namespace kestrelon

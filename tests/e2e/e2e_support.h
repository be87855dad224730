// The real console, linked with the real engine, against nginx on the
// console's own endpoint.
#pragma once

#include "dialog/quarndemodlg.h"
#include "dialog/samplerequest.h"
#include "tests/support/console_window.h"
#include "tests/support/files.h"
#include "tests/support/nginx_fixture.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <QString>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace quarn::e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline constexpr std::int64_t kSampleSize = sample::kFileSize;

// nginx directives: the first request crawls, a resumed (Range) request runs
// at full speed, so a stop lands mid-transfer and the resume finishes fast.
inline constexpr const char* kSlowUntilResumed =
    "set $quarn_rate 20000000; if ($http_range) { set $quarn_rate 0; } limit_rate $quarn_rate;";

// The port of the console's fixed endpoint (sample::kServer).
std::uint16_t ConsolePort();
// Empty when 127.0.0.1:port can be bound; otherwise why not, naming the
// listener when `ss` can tell.
std::string PortTaken(std::uint16_t port);

// What the engine reads of the environment is set once, in main, before
// anything starts: its share server's threads run from the first
// registration to the end of the process. The drive root is emptied before
// each test instead.
void SetProcessEnvironment(const fs::path& driveRoot);

class ConsoleTest : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
    void TearDown() override;

    void StartServer(const std::string& extra = "");
    void OpenConsole();
    void Click(int id);
    QString StateText() const;
    bool ButtonEnabled(int id) const;
    // Processes the console's events until pred holds or the deadline passes;
    // a failure says what the window showed last.
    template <class Pred>
    ::testing::AssertionResult PumpUntil(Pred pred, std::chrono::milliseconds deadline) {
        return test::pumpWindow(*dlg_, pred, deadline);
    }
    ::testing::AssertionResult PumpUntilState(const char* utf8, std::chrono::milliseconds deadline);

    // Where the engine puts a console path ("d:\\download\\x").
    fs::path Drive(const std::string& windowsPath) const {
        return test::drivePath(drives_, windowsPath);
    }
    static fs::path ServerFile();

    fs::path dir_;
    fs::path drives_;
    test::NginxServer nginx_;
    std::unique_ptr<CQuarnDemoDlg> dlg_;

private:
    static fs::path serverRoot_;
};

} // namespace quarn::e2e

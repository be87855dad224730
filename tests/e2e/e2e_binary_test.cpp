// The shipped QuarnDemo binary in a real X server: it starts, shows its
// window, and leaves a screenshot behind as an artifact.
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using quarn::test::Capture;
using quarn::test::Child;
using quarn::test::OnPath;

TEST(ConsoleBinary, ShowsItsWindowUnderXvfb) {
    for (const char* tool : {"Xvfb", "xwininfo", "import", "fc-list"})
        ASSERT_TRUE(OnPath(tool)) << tool << " is missing: run scripts/install-deps.sh";
    ASSERT_NE(Capture("fc-list :lang=ko family").find("NanumGothic"), std::string::npos)
        << "no Korean-capable NanumGothic font: run scripts/install-deps.sh";

    const quarn::test::VirtualDisplay xvfb = quarn::test::StartXvfb(20s);
    ASSERT_FALSE(xvfb.display.empty()) << "Xvfb did not come up";
    const std::string& name = xvfb.display;

    const quarn::test::TempDir drives("quarn-e2e-bin");
    Child console(
        {QUARNDEMO_BINARY},
        {"DISPLAY=" + name, "QUARN_DRIVE_ROOT=" + drives.path().string(), "QT_QPA_PLATFORM=xcb"});
    const std::string query = "DISPLAY=" + name + " xwininfo -name 'QUARN DEMO' 2>/dev/null";
    std::string info;
    ASSERT_TRUE(quarn::test::waitFor(
        [&] {
            info = Capture(query);
            return info.find("Map State: IsViewable") != std::string::npos;
        },
        30s))
        << "no viewable window titled QUARN DEMO; console alive: " << console.Alive()
        << "; xwininfo said: " << (info.empty() ? "nothing" : info);

    const fs::path shot = fs::path(QUARN_ARTIFACT_DIR) / "quarndemo-window.png";
    fs::create_directories(shot.parent_path());
    // Mapped is not yet painted (slowly so under the sanitizers): an empty
    // black screen compresses to a few hundred bytes, the drawn window to many KiB.
    const std::string grab = "DISPLAY=" + name + " import -window root '" + shot.string() + "'";
    std::uintmax_t shotSize = 0;
    EXPECT_TRUE(quarn::test::waitFor(
        [&] {
            fs::remove(shot);
            std::error_code missing;
            const bool grabbed = std::system(grab.c_str()) == 0;
            const std::uintmax_t size = fs::file_size(shot, missing);
            shotSize = grabbed && !missing ? size : 0;
            return shotSize > 4000;
        },
        30s))
        << "the screen stayed empty: the last screenshot had " << shotSize << " bytes";
    std::printf("screenshot: %s\n", shot.c_str());
}

} // namespace

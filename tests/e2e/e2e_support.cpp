#include "tests/e2e/e2e_support.h"

#include "res/resource.h"
#include "tests/support/process.h"
#include "tests/support/sockets.h"

#include <quarn/quarn.h>

#include <QAbstractButton>
#include <QLabel>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace quarn::e2e {

fs::path ConsoleTest::serverRoot_;

std::uint16_t ConsolePort() {
    const std::string_view server(sample::kServer);
    return static_cast<std::uint16_t>(std::stoi(std::string(server.substr(server.rfind(':') + 1))));
}

std::string PortTaken(std::uint16_t port) {
    // As nginx binds (SO_REUSEADDR): what the previous test's nginx left in
    // TIME-WAIT does not count.
    const int error = test::bindError(port);
    if (error == 0) return {};
    std::string why =
        "127.0.0.1:" + std::to_string(port) + " is taken (" + std::strerror(error) + ")";
    const std::string filter = "'sport = :" + std::to_string(port) + "' 2>/dev/null";
    // ss names the listener when it can (users:(("nginx",pid=...,fd=...)),...).
    const std::string listing = test::Capture("ss -ltnpH " + filter);
    if (const auto users = listing.find("users:"); users != std::string::npos)
        return why + " by " + listing.substr(users, listing.find('\n', users) - users);
    // No listener: the port is inside the ephemeral range, so a connection
    // may hold it as its local port (for up to a minute in TIME-WAIT).
    const std::string sockets = test::Capture("ss -tanH " + filter + " | tr -s ' '");
    if (!sockets.empty())
        why += " by a connection, not a listener: " + sockets.substr(0, sockets.find('\n')) +
               " (it lapses within a minute)";
    return why;
}

void SetProcessEnvironment(const fs::path& driveRoot) {
    ::setenv("QUARN_DRIVE_ROOT", driveRoot.c_str(), 1);
    // A port of our own for the share server, so the demo's default may be
    // in use meanwhile.
    const std::string listen = "127.0.0.1:" + std::to_string(test::freeLoopbackPort());
    ::setenv("QUARN_SHARE_LISTEN", listen.c_str(), 1);
}

void ConsoleTest::SetUpTestSuite() {
    serverRoot_ = test::makeTempDir("quarn-e2e-www");
    // A few marked blocks: a resume at the wrong offset, or a lost block,
    // shows up in the byte comparison.
    const std::vector<int64_t> marks{0, 123457, 700'000'001, 1'500'000'003, kSampleSize - 4096};
    test::writeMarkedSparseFile(ServerFile(), kSampleSize, marks);
    // Its Metalink document beside it, as the demo publishes it, so the
    // console's downloads are verified. Describing 2.2 GB takes a while: once
    // per build, for these marks.
    uint64_t id = 1469598103934665603ULL;
    for (const int64_t m : marks) id = (id ^ static_cast<uint64_t>(m)) * 1099511628211ULL;
    const fs::path cached =
        fs::path(QUARN_ARTIFACT_DIR) / ("sample-" + std::to_string(id) + ".meta4");
    if (!fs::exists(cached)) {
        fs::create_directories(cached.parent_path());
        const fs::path partial = cached.string() + ".tmp";
        test::Child meta({QUARN_CLI_BINARY, "meta", ServerFile().string()}, {}, partial.string());
        if (meta.SpawnError() != 0 || meta.Wait() != 0)
            throw std::runtime_error("quarn meta failed on the sample");
        fs::rename(partial, cached);
    }
    fs::copy_file(cached, ServerFile().string() + ".meta4", fs::copy_options::overwrite_existing);
}

void ConsoleTest::TearDownTestSuite() {
    std::error_code ignored;
    fs::remove_all(serverRoot_, ignored);
}

fs::path ConsoleTest::ServerFile() {
    return serverRoot_ / sample::kSite / sample::kServerFileName;
}

void ConsoleTest::SetUp() {
    // Something else on the console's fixed endpoint answers in nginx's place:
    // the test would wait out its whole deadline instead of saying why.
    const std::string taken = PortTaken(ConsolePort());
    ASSERT_TRUE(taken.empty())
        << taken
        << "; the end-to-end suite needs it for its nginx: stop whatever "
           "listens there (scripts/demo.sh uses the same port) and run again";
    const char* root = std::getenv("QUARN_DRIVE_ROOT");
    ASSERT_TRUE(root != nullptr && *root != '\0') << "main sets the drive root";
    drives_ = root;
    // What an earlier test left goes; nothing of it may still be writing.
    stopDownload();
    for (const auto& entry : fs::directory_iterator(drives_)) fs::remove_all(entry.path());
    dir_ = test::makeTempDir("quarn-e2e");
}

void ConsoleTest::TearDown() {
    dlg_.reset();
    nginx_.stop();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

void ConsoleTest::StartServer(const std::string& extra) {
    test::NginxOptions options;
    options.root = serverRoot_;
    // nginx takes the console's own fixed endpoint.
    options.port = ConsolePort();
    if (!extra.empty())
        options.locations.push_back(test::NginxLocation{"/", "", "", 0, false, extra});
    nginx_.start(options);
}

void ConsoleTest::OpenConsole() {
    dlg_ = std::make_unique<CQuarnDemoDlg>();
    ASSERT_TRUE(dlg_->Create());
    dlg_->Pacer().SetInterval(20ms);
    dlg_->show();
}

void ConsoleTest::Click(int id) {
    auto* button = qobject_cast<QAbstractButton*>(dlg_->GetDlgItem(id));
    ASSERT_NE(button, nullptr);
    ASSERT_TRUE(button->isEnabled()) << "button " << id << " is disabled";
    button->click();
}

QString ConsoleTest::StateText() const {
    return qobject_cast<QLabel*>(dlg_->GetDlgItem(IDC_STATE))->text();
}

bool ConsoleTest::ButtonEnabled(int id) const {
    return dlg_->GetDlgItem(id)->isEnabled();
}

::testing::AssertionResult ConsoleTest::PumpUntilState(const char* utf8,
                                                       std::chrono::milliseconds deadline) {
    const QString wanted = QString::fromUtf8(utf8);
    return PumpUntil([&] { return StateText() == wanted; }, deadline)
           << " (waited for " << utf8 << ")";
}

} // namespace quarn::e2e

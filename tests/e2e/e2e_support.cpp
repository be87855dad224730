#include "tests/e2e/e2e_support.h"

#include "platform/cp949string.h"
#include "tests/support/process.h"
#include "dialog/samplerequest.h"

#include <QAbstractButton>
#include <QLabel>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fstream>
#include <unistd.h>
#include <vector>

namespace quarn::e2e {

fs::path ConsoleTest::serverRoot_;

namespace {

fs::path MakeTempDir(const char* stem) {
    std::string pattern = (fs::temp_directory_path() / (std::string(stem) + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

// A few marked blocks in a sparse file: a resume at the wrong offset, or a
// lost block, shows up in the byte comparison.
void WriteMarkedSparseFile(const fs::path& path, std::int64_t size) {
    fs::create_directories(path.parent_path());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, size), 0);
    std::vector<char> block(4096);
    const std::int64_t offsets[] = {0, 123457, 700'000'001, 1'500'000'003, size - 4096};
    for (std::int64_t offset : offsets) {
        for (std::size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<char>((offset + static_cast<std::int64_t>(i)) * 131 % 251 + 1);
        ASSERT_EQ(::pwrite(fd, block.data(), block.size(), offset),
                  static_cast<ssize_t>(block.size()));
    }
    ::close(fd);
}

} // namespace

std::uint16_t ConsolePort() {
    const std::string_view server(sample::kServer);
    return static_cast<std::uint16_t>(std::stoi(std::string(server.substr(server.rfind(':') + 1))));
}

std::string PortTaken(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return "cannot open a socket: " + std::string(std::strerror(errno));
    // As nginx binds (SO_REUSEADDR): what the previous test's nginx left in
    // TIME-WAIT does not count.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    const int error = errno;
    ::close(fd);
    if (bound) return {};
    std::string why = "127.0.0.1:" + std::to_string(port) + " is taken (" + std::strerror(error) + ")";
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

void ConsoleTest::SetUpTestSuite() {
    serverRoot_ = MakeTempDir("quarn-e2e-www");
    WriteMarkedSparseFile(ServerFile(), kSampleSize);
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
    ASSERT_TRUE(taken.empty()) << taken
                               << "; the end-to-end suite needs it for its nginx: stop whatever "
                                  "listens there (scripts/demo.sh uses the same port) and run again";
    dir_ = MakeTempDir("quarn-e2e");
    drives_ = dir_ / "drives";
    fs::create_directories(drives_);
    ::setenv("QUARN_DRIVE_ROOT", drives_.c_str(), 1);
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
    if (!extra.empty()) options.locations.push_back(test::NginxLocation{"/", "", "", 0, false, extra});
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
    return qobject_cast<QLabel*>(dlg_->GetDlgItem(1006))->text();
}

bool ConsoleTest::ButtonEnabled(int id) const { return dlg_->GetDlgItem(id)->isEnabled(); }

bool ConsoleTest::PumpUntilState(const char* utf8, std::chrono::milliseconds deadline) {
    const QString wanted = QString::fromUtf8(utf8);
    return PumpUntil([&] { return StateText() == wanted; }, deadline);
}

bool ConsoleTest::SameContent(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    if (fs::file_size(a, ec) != fs::file_size(b, ec) || ec) return false;
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    std::vector<char> ba(1 << 20), bb(1 << 20);
    while (fa && fb) {
        fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        if (fa.gcount() != fb.gcount()) return false;
        if (std::memcmp(ba.data(), bb.data(), static_cast<std::size_t>(fa.gcount())) != 0)
            return false;
    }
    return fa.eof() && fb.eof();
}

} // namespace quarn::e2e

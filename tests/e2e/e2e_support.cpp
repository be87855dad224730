#include "e2e_support.h"

#include "cstring.h"
#include "samplerequest.h"

#include <QAbstractButton>
#include <QLabel>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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
    const std::string_view server(sample::kServer);
    options.port = static_cast<std::uint16_t>(std::stoi(std::string(server.substr(server.rfind(':') + 1))));
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

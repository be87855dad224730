// One answer on its way to a peer: its head, then, for a file, the file's
// bytes, sent so that a peer never gets the whole length of a file that
// changed meanwhile. The file's bytes go from a mapping shared by every
// answer that sends it, one piece at a time, the file checked against its
// registration after each piece; its last bytes are read into memory and
// checked before they go out, so the answer is never completed with bytes
// read after a change. A file that cannot be mapped is read block by block,
// each block checked before it goes out.
#pragma once

#include "libquarn/handles.h"
#include "libquarn/share_policy.h"
#include "libquarn/share_registry.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quarn::engine {

// A whole file mapped for reading by the kernel alone, as the source of
// send(): a page gone with a truncation is an EFAULT there, where a read of
// ours would be a SIGBUS, so no code of ours ever touches it.
class FileMapping {
public:
    FileMapping(int fd, long long size);
    ~FileMapping();
    FileMapping(const FileMapping&) = delete;
    FileMapping& operator=(const FileMapping&) = delete;

    explicit operator bool() const noexcept { return data_ != nullptr; }
    const char* at(long long offset) const noexcept { return data_ + offset; }

private:
    const char* data_ = nullptr;
    std::size_t length_ = 0;
};

// Registered files' mappings by site and hash, kept a while after the last
// answer that used one, so that an answer neither maps its file nor faults
// its pages in anew.
class ShareMappings {
public:
    // The mapping of `entry`'s file, open as `fd`; null when it cannot be mapped.
    std::shared_ptr<const FileMapping> of(const std::string& site, const std::string& hash,
                                          const SharedFile& entry, int fd,
                                          ShareClock::time_point now);
    void drop(const std::string& site, const std::string& hash, std::uint64_t generation);
    // Lets go of the mappings unused for a while (a mapping keeps its file,
    // and its disk space, alive); when to sweep again, max() for never.
    ShareClock::time_point sweep(ShareClock::time_point now);
    // When the last mapping taken will have been unused long enough.
    static ShareClock::time_point keptUntil(ShareClock::time_point used);

private:
    struct Mapped {
        std::shared_ptr<const FileMapping> map;
        dev_t device = 0;
        ino_t inode = 0;
        std::uint64_t generation = 0;
        ShareClock::time_point used;
    };
    std::map<std::pair<std::string, std::string>, Mapped> mapped_;
};

// Buffers for the blocks answers read into memory, kept for reuse.
class BlockPool {
public:
    static constexpr std::size_t kBlock = std::size_t{256} * 1024;
    std::unique_ptr<char[]> take();
    void give(std::unique_ptr<char[]> block);

private:
    std::vector<std::unique_ptr<char[]>> spare_;
};

struct FileBody {
    UniqueFd file;
    SharedFile registered;
    std::string site, hash;
    long long next = 0, end = 0;            // bytes of the file [next, end) not sent or read yet
    std::shared_ptr<const FileMapping> map; // null: read every block
};

class Outgoing {
public:
    enum class Sent {
        Done,    // all of it is out
        Blocked, // the socket is full
        Again,   // its turns are used up
        Budget,  // the upload rate has nothing for it now
        Failed,  // the socket failed
        Changed, // the file is not the registered one any more (body() says which)
    };

    void start(std::string head); // an answer, its body included unless it is a file's
    void attach(FileBody body);   // the file's bytes after the head
    // Up to `turns` pieces, each through `budget` when there is one.
    Sent send(int socket, RateBudget* budget, ShareClock::time_point now, BlockPool& pool,
              int turns);
    const FileBody* body() const noexcept { return body_ ? &*body_ : nullptr; }
    std::uint64_t sent() const noexcept { return sent_; } // bytes, all answers together
    void clear(BlockPool& pool);

private:
    bool loadBlock(BlockPool& pool);
    bool stillTheSame() const;

    std::string head_;
    std::size_t headSent_ = 0;
    std::optional<FileBody> body_;
    std::unique_ptr<char[]> block_; // read and checked
    std::size_t blockSent_ = 0, blockLength_ = 0;
    std::uint64_t sent_ = 0;
};

} // namespace quarn::engine

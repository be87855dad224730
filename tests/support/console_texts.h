// The JSON texts the console hands the engine, as the engine receives them
// byte for byte: the download request (laid out as jsoncpp's styled writer
// does: sorted members, three-space indent, " : ") and the first share
// registration (spaced fragment by fragment). The console's own values come
// from dialog/samplerequest.h; engine tests put in their own.
#pragma once

#include <string>

namespace quarn::test {

struct RequestFields {
    std::string site, server, serverFileName, index, localFileName, hash, fileSize, userName,
        userPwd, userParams;
};
// The JSON download of the console.
RequestFields sampleJsonRequest();
std::string requestText(const RequestFields& fields);

struct ShareFields {
    std::string site, server, serverFileName, index, hash;
    std::string fileSize; // a JSON value as written: "\"1784365056\"", 1784365056, true...
    std::string localFileName, userName, userPwd, userParams;
};
// The console's first registration (_setShareFile).
ShareFields sampleShare();
std::string shareText(const ShareFields& fields);

} // namespace quarn::test

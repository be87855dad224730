#include "tests/support/console_texts.h"

#include "dialog/samplerequest.h"
#include "tests/support/text.h"

namespace quarn::test {

RequestFields sampleJsonRequest() {
    return {sample::kSite,
            sample::kServer,
            sample::kServerFileName,
            sample::kJsonIndex,
            sample::kJsonLocalFileName,
            sample::kHash,
            sample::kFileSizeText,
            sample::kUserName,
            sample::kUserPwd,
            sample::kUserParams};
}

std::string requestText(const RequestFields& f) {
    const auto member = [](const char* name, const std::string& value) {
        return std::string("   \"") + name + "\" : \"" + jsonEscape(value) + "\"";
    };
    return "{\n" + member("filesize", f.fileSize) + ",\n" + member("hash", f.hash) + ",\n" +
           member("index", f.index) + ",\n" + member("localfilename", f.localFileName) + ",\n" +
           member("server", f.server) + ",\n" + member("serverfilename", f.serverFileName) + ",\n" +
           member("site", f.site) + ",\n" + member("user_name", f.userName) + ",\n" +
           member("user_params", f.userParams) + ",\n" + member("user_pwd", f.userPwd) + "\n}\n";
}

ShareFields sampleShare() {
    return {sample::kShareSite,
            sample::kServer,
            sample::kShare1ServerFileName,
            sample::kShare1Index,
            sample::kShare1Hash,
            std::string("\"") + sample::kShare1Size + "\"",
            sample::kShare1LocalFileName,
            sample::kUserName,
            sample::kUserPwd,
            sample::kUserParams};
}

std::string shareText(const ShareFields& f) {
    const auto text = [](const std::string& value) { return "\"" + jsonEscape(value) + "\""; };
    return "{ \"site\": " + text(f.site) + ",  \"server\" : " + text(f.server) +
           ", \"serverfilename\" : " + text(f.serverFileName) + ",  \"index\" : " + text(f.index) +
           ",  \"hash\" : " + text(f.hash) + ",  \"filesize\" : " + f.fileSize +
           ",  \"localfilename\" : " + text(f.localFileName) +
           ", \"use_mserver\" : false, \"user_name\" : " + text(f.userName) +
           ", \"user_pwd\" : " + text(f.userPwd) + ", \"user_params\" : " + text(f.userParams) +
           "}";
}

} // namespace quarn::test

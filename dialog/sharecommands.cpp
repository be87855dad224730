// Registering the sample files with the engine for sharing.
#include "dialog/quarndemodlg.h"
#include "dialog/samplerequest.h"
#include "dialog/texts.h"
#include "platform/msgbox.h"

#include <quarn/quarn.h>

#include <string>

namespace {

// The registration request, fragment by fragment with the spaces around each.
CString BuildShareRequest() {
    struct Fragment {
        int before;
        std::string text;
        int after;
    };
    const auto quoted = [](const char* name, const char* value) {
        return std::string("\"") + name + "\" : \"" + value + "\",";
    };
    // The one value with characters JSON escapes: the path's backslashes.
    std::string localfilename;
    for (const char* c = sample::kShare1LocalFileName; *c != '\0'; ++c)
        localfilename += *c == '\\' ? std::string("\\\\") : std::string(1, *c);
    const Fragment fragments[] = {
        {0, "{", 0},
        {1, std::string("\"site\": \"") + sample::kShareSite + "\",", 1},
        {1, quoted("server", sample::kServer), 0},
        {1, quoted("serverfilename", sample::kShare1ServerFileName), 1},
        {1, quoted("index", sample::kShare1Index), 1},
        {1, quoted("hash", sample::kShare1Hash), 1},
        {1, quoted("filesize", sample::kShare1Size), 1},
        {1, quoted("localfilename", localfilename.c_str()), 0},
        {1, "\"use_mserver\" : false,", 0},
        {1, quoted("user_name", sample::kUserName), 0},
        {1, quoted("user_pwd", sample::kUserPwd), 0},
        {1, "\"user_params\" : \"\"", 0},
        {0, "}", 0},
    };
    std::string utf8;
    for (const Fragment& f : fragments)
        utf8 += std::string(static_cast<std::size_t>(f.before), ' ') + f.text +
                std::string(static_cast<std::size_t>(f.after), ' ');
    return CString::FromUtf8(utf8);
}

// The engine answers a 32-bit truth value; only its low byte counts.
void ShowOutcome(std::int32_t result) {
    AfxMessageBox((result & 0xFF) != 0 ? texts::Registered() : texts::NotRegistered(), MB_OK);
}

} // namespace

void CQuarnDemoDlg::OnSetShareFile() {
    const CString request = BuildShareRequest();
    const std::u16string wide = platform::MultiByteToWide(request.Bytes());
    ShowOutcome(setShareFile(wide.c_str()));
}

void CQuarnDemoDlg::OnSetShareFile2() {
    const CString site = sample::kShareSite;
    const CString hash = sample::kShare2Hash;
    const CString path = sample::kShare2Path;
    const std::u16string wSite = platform::MultiByteToWide(site.Bytes());
    const std::u16string wHash = platform::MultiByteToWide(hash.Bytes());
    const std::u16string wPath = platform::MultiByteToWide(path.Bytes());
    ShowOutcome(setShareFile2(wSite.c_str(), wHash.c_str(), wPath.c_str(), sample::kShare23Size));
}

void CQuarnDemoDlg::OnSetShareFile3() {
    const CString site = sample::kShareSite;
    const CString path = sample::kShare3Path;
    const CString hash = sample::kShare3Hash;
    ShowOutcome(setShareFile3(site, path, hash, sample::kShare23Size));
}

// The fixed sample values every request of the console carries.
#pragma once

#include <cstdint>

namespace sample {

// The demo transfer server on loopback; scripts/demo.sh serves this endpoint.
// Below the kernel's ephemeral range (32768-60999), so no outgoing connection
// can hold the port in TIME-WAIT when nginx wants to bind it.
inline constexpr const char* kServer = "127.0.0.1:28080";

inline constexpr const char* kSite = "test_site";
inline constexpr const char* kServerFileName = "e3f20ec8060f3f1f5b98718b2df6f37b_2208143958";
inline constexpr const char* kHash = "e3f20ec8060f3f1f5b98718b2df6f37b";
inline constexpr std::int64_t kFileSize = 2208143958;
inline constexpr const char* kFileSizeText = "2208143958";
inline constexpr const char* kUserName = "111";
inline constexpr const char* kUserPwd = "734";
inline constexpr const char* kUserParams = "";

// The parameter download.
inline constexpr const char* kParamIndex = "881005";
inline constexpr const char* kParamLocalFileName = "d:\\download\\aaaaa.avi";

// The JSON download.
inline constexpr const char* kJsonIndex = "20002";
inline constexpr const char* kJsonLocalFileName = "d:\\download\\judge.mp4";

// Share registrations. The first one's name is Korean (UTF-8 here, CP949 when held).
inline constexpr const char* kShareSite = "test_site";
inline constexpr const char* kShare1ServerFileName =
    "/volume1/b54550fbf6fbf15acd02e4721a14cccb_1784365056";
inline constexpr const char* kShare1Index = "545465121";
inline constexpr const char* kShare1Hash = "b54550fbf6fbf15acd02e4721a14c111";
inline constexpr const char* kShare1Size = "1784365056";
inline constexpr const char* kShare1LocalFileName =
    "D:\\nginx-1.8.0\\html\\content\\왕좌의 게임111.mp4";
inline constexpr const char* kShare2Hash = "d4301f3edae670bde22305e444e4c2a1";
inline constexpr const char* kShare2Path = "c:\\download\\aaa.avi";
inline constexpr const char* kShare3Hash = "d4301f3edae670bde22305e444e4c2a0";
inline constexpr const char* kShare3Path = "c:\\download\\bbb.avi";
inline constexpr std::int64_t kShare23Size = 1857140083;

} // namespace sample

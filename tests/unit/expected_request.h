// The JSON download request as the engine must receive it, pinned byte for
// byte: the writer's member order and layout are part of the contract.
#pragma once

#include <string_view>

namespace expected {

inline constexpr std::string_view kJsonRequest =
    "{\n"
    "   \"filesize\" : \"2208143958\",\n"
    "   \"hash\" : \"e3f20ec8060f3f1f5b98718b2df6f37b\",\n"
    "   \"index\" : \"20002\",\n"
    "   \"localfilename\" : \"d:\\\\download\\\\judge.mp4\",\n"
    "   \"server\" : \"127.0.0.1:48080\",\n"
    "   \"serverfilename\" : \"e3f20ec8060f3f1f5b98718b2df6f37b_2208143958\",\n"
    "   \"site\" : \"test_site\",\n"
    "   \"user_name\" : \"111\",\n"
    "   \"user_params\" : \"\",\n"
    "   \"user_pwd\" : \"734\"\n"
    "}\n";

} // namespace expected

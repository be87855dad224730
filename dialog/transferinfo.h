// One download's request and its latest status.
#pragma once

#include "platform/cp949string.h"

#include <cstdint>

struct TransferInfo {
    CString site;
    CString server;
    CString serverfilename;
    CString index;
    std::int32_t state;
    CString localfilename;
    CString hash;
    std::int64_t filesize;
    CString user_name;
    CString user_pwd;
    CString user_params;
    std::int64_t receive_size;
    double speed;
    std::int64_t current_file_size;
    std::int32_t remain_time;
};

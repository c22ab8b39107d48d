#pragma once
// Points both upload families at the local server's object store, with
// parts small enough that a few hundred KiB already go up in several parts
// and retries that do not keep a test waiting.

#include <cstdint>
#include <string>

#include "pelbo/bucketput/OssUpload.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/corekit/HttpSettings.h"

inline void UseLocalObjectStore(uint16_t port)
{
    const std::string suffix = ".localhost:" + std::to_string(port);
    Http::SetOssDomainSuffix(ToWide(suffix.c_str(), CP_UTF8).c_str());
    Http::SetOssPathStyle(1);
    Util::OssUpload::CUploadTuning tuning;
    tuning.multipartThreshold = 256 << 10;
    tuning.partSize = 128 << 10;
    tuning.backoffMs = 20;
    Util::OssUpload::SetTuning(tuning);
}

// A test filter that records what reaches it: for each request its major
// function, flags, requestor, parameters of interest and, after the file
// system, the status and information. Registered after the driver's, it
// attaches below it on volumes mounted later, so it sees what the driver let
// through; registered before, above it.
#pragma once

#include "platform/kernel.h"
#include "tests/support/test_filter.h"

#include <mutex>
#include <string>
#include <vector>

namespace vtest {

struct RecordedRequest {
    UCHAR major = 0;
    UCHAR operationFlags = 0;
    ULONG irpFlags = 0;
    ULONG callbackFlags = 0;
    KPROCESSOR_MODE requestorMode = UserMode;
    ULONG_PTR processId = 0;
    PFILE_OBJECT fileObject = nullptr;
    std::u16string fileName;      // the file object's FileName at the pre-operation
    std::u16string fileNameAfter; // and after the file system
    std::u16string openedName;    // FLT_FILE_NAME_OPENED in the pre-operation (creates), or the status text
    NTSTATUS openedNameStatus = STATUS_UNSUCCESSFUL;
    // Create.
    ACCESS_MASK desiredAccess = 0;
    ULONG options = 0;
    USHORT shareAccess = 0;
    USHORT fileAttributes = 0;
    // Set information.
    FILE_INFORMATION_CLASS infoClass = static_cast<FILE_INFORMATION_CLASS>(0);
    PFILE_OBJECT parentOfTarget = nullptr;
    // Read and write.
    ULONG length = 0;
    LONGLONG offset = 0;
    bool hasBuffer = false;
    bool hasMdl = false;
    // After the file system.
    bool completed = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

class RequestRecorder {
public:
    // Registers and starts the recording filter (one at a time).
    void Start();
    void Stop();
    std::vector<RecordedRequest> Requests();
    std::vector<RecordedRequest> Requests(UCHAR major);
    void Clear();

private:
    TestFilter filter_;
};

}  // namespace vtest

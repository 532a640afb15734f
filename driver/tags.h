// Pool tags, one per kind of object, as multi-character literals written
// reversed so that pool tools show them in memory order ("MCVQ" is 'QVCM').
#pragma once

#include "platform/kernel.h"

constexpr ULONG TagMessage = 'QVCM';          // "MCVQ" event messages and reply cells
constexpr ULONG TagCreateCompletion = 'QVFM';  // "MFVQ" pre-create completion cells (PagedPool)
constexpr ULONG TagString = 'QVSG';           // "GSVQ" general counted strings
constexpr ULONG TagProcessEntry = 'QVMN';     // "NMVQ" process-list entries
constexpr ULONG TagFileIdEntry = 'QVFI';      // "IFVQ" file-id-list entries
constexpr ULONG TagIdIndex = 'QVXI';          // "IXVQ" bucket arrays of the id lists' hash index
constexpr ULONG TagRegistryPath = 'QVRM';     // "MRVQ" registry key paths
constexpr ULONG TagCopyBuffer = 'QVFT';       // "TFVQ" copy buffers and symbolic-link targets
constexpr ULONG TagDeferredEvent = 'QVPM';    // "MPVQ" deferred process events
constexpr ULONG TagImageName = 'QVPC';        // "CPVQ" process image names
constexpr ULONG TagHandleTrack = 'cHxC';      // "CxHc" stream-handle contexts
constexpr ULONG TagSecurity = 'QVES';         // "SEVQ" the control device's security descriptor
constexpr ULONG TagHeader = 0;                // header blocks (string headers, messages, reply cells) are freed untagged

// Progress of the long file-store transfers (PassThruWriteFile,
// PassThruReadFile, PassThruUpdateFirmware) for the project's own tools.
// Internal: not exported, and the exported operations behave as before
// while no hook is set. State kept between calls: set and read under the
// state lock (the tools set it through passthru/app_core.h).
//
// The hook runs on the caller's thread after each acknowledged batch (a
// read: after each block) with the bytes moved so far and the total, 0
// when the total is not known beforehand (a read). It returning false
// stops the transfer before the next batch: the operation closes the
// stored file and fails with 7 and the 'E' text "<operation>: stopped".
#pragma once

#include <cstdint>

namespace orv {

using TransferProgressHook = bool (*)(uint64_t done, uint64_t total, void* context);

// Sets the hook (null removes it) for every later transfer.
void SetTransferProgressHook(TransferProgressHook hook, void* context);

// Called by the transfers: true to go on, false when the hook stops them.
bool TransferMayContinue(uint64_t done, uint64_t total);

}  // namespace orv

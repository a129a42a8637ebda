// Files read ahead for the daemon: a transfer asks for one block at a time,
// and a pread per block was a sixth of zem4d's time serving a large file. A
// file read in order is read in chunks of half a window instead; any other
// read goes straight to the file. The chunk is dropped whenever the engine
// asks whether the file changed (once per half window of new data), so no
// byte read before that check is sent after it.
#pragma once

#include "server/engine/FileSource.h"
#include "zem4/Zem4Wire.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace zem4::server {

class ReadAheadSource final : public FileSource {
public:
  // What the engine sends between two checks: half a window of blocks.
  static constexpr size_t ChunkBytes = size_t{ZEM4_HALF_WINDOW_BLOCKS} * ZEM4_BLOCK_SIZE;

  explicit ReadAheadSource(FileSource &Inner) : Inner(Inner) {}
  OpenResult Open(std::string_view Name) override;

private:
  FileSource &Inner;
};

} // namespace zem4::server

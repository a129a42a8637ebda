#include "server/daemon/ReadAhead.h"

#include "zem4/Zem4Wire.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace zem4::server {

namespace {

class ReadAheadFile final : public OpenFile {
public:
  explicit ReadAheadFile(std::shared_ptr<OpenFile> Real) : Real(std::move(Real)) {}

  uint64_t Size() const override { return Real->Size(); }
  FileId Id() const override { return Real->Id(); }
  DigestResult Digest() override { return Real->Digest(); }

  bool Unchanged() override {
    Held = 0;
    return Real->Unchanged();
  }

  bool ReadAt(uint64_t Offset, std::span<uint8_t> Out) override {
    if (Offset >= Start && Offset - Start <= Held && Out.size() <= Held - (Offset - Start)) {
      if (!Out.empty()) {
        std::memcpy(Out.data(), Chunk.data() + (Offset - Start), Out.size());
      }
      NextInOrder = Offset + Out.size();
      return true;
    }
    const uint64_t Size = Real->Size();
    // Only a file read in order is read ahead: a repair's scattered blocks
    // would each cost a chunk.
    if (Offset != NextInOrder || Offset > Size || Out.size() > Size - Offset) {
      NextInOrder = Offset + Out.size();
      return Real->ReadAt(Offset, Out);
    }
    const size_t Want = static_cast<size_t>(
        std::min<uint64_t>(std::max(ReadAheadSource::ChunkBytes, Out.size()), Size - Offset));
    Chunk.resize(std::max(Chunk.size(), Want));
    Held = 0;
    NextInOrder = Offset + Out.size();
    if (!Real->ReadAt(Offset, std::span<uint8_t>(Chunk.data(), Want))) {
      return Real->ReadAt(Offset, Out); // the file may still hold this much
    }
    Start = Offset;
    Held = Want;
    if (!Out.empty()) {
      std::memcpy(Out.data(), Chunk.data(), Out.size());
    }
    return true;
  }

private:
  std::shared_ptr<OpenFile> Real;
  std::vector<uint8_t> Chunk;
  uint64_t Start = 0;
  size_t Held = 0; // bytes of Chunk valid from Start
  uint64_t NextInOrder = 0;
};

} // namespace

OpenResult ReadAheadSource::Open(std::string_view Name) {
  OpenResult R = Inner.Open(Name);
  if (R.File) {
    R.File = std::make_shared<ReadAheadFile>(std::move(R.File));
  }
  return R;
}

} // namespace zem4::server

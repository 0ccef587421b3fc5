#include "paradox/blob_file.h"

#include <unistd.h>

#include "paradox/file_io.h"
#include "paradox/paradox_error.h"

namespace dk {

namespace {

constexpr uint64_t kUnit = 4096;
constexpr uint64_t kSlotTable = 12;  // slot table offset in a type-3 block
constexpr int kSlots = 64;

uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

TParadoxBlobFile::TParadoxBlobFile(const std::string& path) : FPath(path) {
  FFd = PxOpenReadOnly(path, FFileSize);
  uint8_t type = 0xFF;
  if (FFileSize > 0) {
    try {
      PxReadAt(FFd, FPath, &type, 1, 0);
    } catch (...) {
      ::close(FFd);
      throw;
    }
  }
  if (type != 0) {
    ::close(FFd);
    if (FFileSize == 0) throw EParadoxError(FPath + ": die Blob-Datei ist leer");
    throw EParadoxError(FPath +
                        ": keine Paradox-Blob-Datei oder verschlüsselt (der Kopfblock fehlt)");
  }
}

TParadoxBlobFile::~TParadoxBlobFile() {
  if (FFd >= 0) ::close(FFd);
}

void TParadoxBlobFile::Fail(const std::string& what, const std::string& fault) const {
  throw EParadoxError(FPath + ": " + what + ": " + fault);
}

void TParadoxBlobFile::Read(uint32_t pointer, uint32_t length, const std::string& what,
                            std::string& out) const {
  const uint64_t offset = pointer & 0xFFFFFF00u;
  const int index = static_cast<int>(pointer & 0xFFu);
  if (offset == 0) Fail(what, "Blob-Zeiger ohne Block (er zeigt auf den Kopfblock der Datei)");
  if (offset + kSlotTable > FFileSize)
    Fail(what, "Blob-Zeiger auf Byte " + std::to_string(offset) + " liegt außerhalb der Datei (" +
                   std::to_string(FFileSize) + " Bytes)");
  uint8_t head[kSlotTable];
  PxReadAt(FFd, FPath, head, sizeof head, offset);
  const int type = head[0];
  uint64_t dataAt = 0;
  if (type == 2) {
    if (index != 0xFF)
      Fail(what, "Blob-Zeiger mit Eintrag " + std::to_string(index) + " auf einen Einzelblock");
    const uint32_t stored = U32(head + 3);
    if (stored != length)
      Fail(what, "Blob-Länge " + std::to_string(length) + " im Datensatz, aber " +
                     std::to_string(stored) + " im Block bei Byte " + std::to_string(offset));
    dataAt = offset + 9;
    if (dataAt + length > FFileSize)
      Fail(what, "der Blob-Wert (" + std::to_string(length) + " Bytes ab Byte " +
                     std::to_string(dataAt) + ") reicht über das Dateiende (" +
                     std::to_string(FFileSize) + " Bytes)");
  } else if (type == 3) {
    if (index >= kSlots) Fail(what, "Blob-Zeiger mit ungültigem Eintrag " + std::to_string(index));
    uint8_t slot[5];
    const uint64_t slotAt = offset + kSlotTable + 5 * static_cast<uint64_t>(index);
    if (slotAt + 5 > FFileSize)
      Fail(what,
           "der Blob-Eintrag bei Byte " + std::to_string(slotAt) + " liegt außerhalb der Datei");
    PxReadAt(FFd, FPath, slot, sizeof slot, slotAt);
    const int dataOffset = slot[0];
    const int chunks = slot[1];
    const int lastBytes = slot[4];
    if (dataOffset == 0 || chunks == 0 || lastBytes == 0)
      Fail(what, "der Blob-Eintrag " + std::to_string(index) + " im Block bei Byte " +
                     std::to_string(offset) + " ist leer (der Wert fehlt)");
    const uint64_t stored =
        static_cast<uint64_t>(chunks - 1) * 16 + static_cast<uint64_t>(lastBytes);
    if (stored != length)
      Fail(what, "Blob-Länge " + std::to_string(length) + " im Datensatz, aber " +
                     std::to_string(stored) + " im Eintrag " + std::to_string(index) +
                     " des Blocks bei Byte " + std::to_string(offset));
    dataAt = offset + 16 * static_cast<uint64_t>(dataOffset);
    if (dataAt + length > offset + kUnit || dataAt + length > FFileSize)
      Fail(what, "der Blob-Wert im Eintrag " + std::to_string(index) +
                     " reicht über seinen Block oder das Dateiende hinaus");
  } else {
    Fail(what, "Blob-Zeiger auf Byte " + std::to_string(offset) +
                   " trifft keinen Datenblock (Blocktyp " + std::to_string(type) + ")");
  }
  const size_t start = out.size();
  out.resize(start + length);
  PxReadAt(FFd, FPath, out.data() + start, length, dataAt);
}

}  // namespace dk

// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ntfs/found_record.h"

#include "engine/ntfs/attributes.h"
#include "engine/ntfs/file_name_attribute.h"
#include "engine/ntfs/mft_record.h"
#include "platform/utf.h"

namespace engine::ntfs {

bool ParseFoundRecord(ByteView record, FoundRecord* out) {
  *out = FoundRecord{};
  if (!HasFileSignature(record)) return false;
  const size_t first = record.U16(kRecFirstAttribute);
  if (first < kRecBaseReference || first >= record.size()) return false;
  out->number = record.U32(kRecNumber);
  out->sequence = record.U16(kRecSequence);
  out->flags = record.U16(kRecFlags);
  out->baseRecord = ReferenceRecord(record.U64(kRecBaseReference)) == 0;
  bool haveSize = false;
  AttributeWalker walker(record, RecordWalkEnd(record));
  AttributeRef attr;
  while (walker.Next(&attr)) {
    if (attr.type == kAttrAttributeList) {
      out->attributeList = true;
    } else if (attr.type == kAttrFileName) {
      FileNameAttribute fn;
      if (!ParseFileName(attr, &fn)) continue;
      if (!out->named) {
        out->named = true;
        out->name = fn.name;
        out->parent = fn.parentRecord;
        out->parentSequence = fn.parentSequence;
        out->created = fn.created;
        out->modified = fn.modified;
        out->accessed = fn.accessed;
        if (!haveSize && fn.realSize > 0) out->size = static_cast<uint64_t>(fn.realSize);
      } else if (fn.nameSpace == kNameSpaceWin32 && fn.parentRecord == out->parent) {
        out->name = fn.name;  // a later Win32 name replaces a DOS name
      }
    } else if (attr.type == kAttrData && attr.IsUnnamed() && !haveSize) {
      if (attr.IsResident()) {
        ResidentValue value = ResidentValueOf(attr);
        if (!value.valid) continue;
        out->size = value.bytes.size();
        out->residentData = true;
        out->emptyResident = value.bytes.size() == 0;
        haveSize = true;
      } else if (attr.LowestVcn() == 0 && attr.bytes.Has(kNonResRealSize, 8)) {
        const auto realSize = static_cast<int64_t>(attr.bytes.U64(kNonResRealSize));
        if (realSize < 0) continue;
        out->size = static_cast<uint64_t>(realSize);
        out->allocatedBytes = static_cast<int64_t>(attr.bytes.U64(kNonResAllocatedSize));
        DecodeRunList(attr.bytes, out->dataRuns);
        haveSize = true;
      }
    }
  }
  out->isMft = out->number == 0 && platform::AsciiLower(out->name) == "$mft";
  return true;
}

}  // namespace engine::ntfs

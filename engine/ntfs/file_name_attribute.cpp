// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ntfs/file_name_attribute.h"

#include "platform/utf.h"

namespace engine::ntfs {

bool ParseFileName(const AttributeRef& attribute, FileNameAttribute* out) {
  if (attribute.type != kAttrFileName) return false;
  ResidentValue value = ResidentValueOf(attribute);
  if (!value.valid || !value.bytes.Has(0, kFnName)) return false;
  const ByteView v = value.bytes;
  const size_t nameUnits = v.U8(kFnNameLength);
  if (!v.Has(kFnName, nameUnits * 2)) return false;
  FileNameAttribute fn;
  fn.parentRecord = v.U32(kFnParent);
  fn.parentSequence = v.U16(kFnParentSequence);
  fn.created = v.U64(kFnCreated);
  fn.modified = v.U64(kFnModified);
  fn.accessed = v.U64(kFnAccessed);
  fn.realSize = static_cast<int64_t>(v.U64(kFnRealSize));
  fn.nameSpace = v.U8(kFnNameSpace);
  fn.name = platform::Utf16LeBytesToUtf8(v.data() + kFnName, nameUnits * 2);
  *out = std::move(fn);
  return true;
}

}  // namespace engine::ntfs

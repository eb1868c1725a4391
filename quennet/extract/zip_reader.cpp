#include "zip_reader.h"

#include <windows.h>

#include <algorithm>

#include "win/error_text.h"
#include "win/unique_handle.h"
#include "entry_gate.h"
#include "entry_name.h"
#include "little_endian.h"
#include "quennet.h"

namespace quennet {
namespace {

Outcome Damaged(const std::wstring& what) {
  return Outcome::Fail(QUENNET_E_CORRUPT_ARCHIVE, L"压缩包已损坏：" + what);
}

Outcome Refused(const std::wstring& name, const std::wstring& why) {
  return Outcome::Fail(QUENNET_E_REFUSED_ENTRY, L"拒绝解压条目“" + name + L"”：" + why);
}

std::wstring At(std::uint64_t offset) { return L"（偏移 " + std::to_wstring(offset) + L"）"; }

// Longest data descriptor: signature, CRC-32 and two 64-bit sizes.
constexpr std::size_t kDescriptorLookahead = 24;
// ZIP64 end records may carry extensible data; nothing sane needs more.
constexpr std::uint64_t kLargestZip64Extension = 1 << 20;

}  // namespace

ZipReader::ZipReader(OutputTree& out, ExtractCounters& counters,
                     std::shared_ptr<const ZipIndex> index)
    : out_(out), counters_(counters), index_(std::move(index)), data_(out) {
  ExpectSignature();
}

void ZipReader::ExpectSignature() {
  state_ = State::kSignature;
  recordStart_ = offset_;
  gather_.Expect(4);
}

Outcome ZipReader::Consume(const std::uint8_t* data, std::size_t size) {
  received_ += size;
  if (state_ == State::kDeferred) return Outcome::Ok();
  return Feed(data, size);
}

Outcome ZipReader::Feed(const std::uint8_t* data, std::size_t size) {
  while (size > 0 && state_ != State::kDeferred) {
    Outcome step = Step(&data, &size);
    if (!step.ok()) return step;
    if (!replay_.empty()) {
      // A few bytes of the next signature and header: no descriptor can be among them.
      std::vector<std::uint8_t> again;
      again.swap(replay_);
      Outcome replayed = Feed(again.data(), again.size());
      if (!replayed.ok()) return replayed;
    }
  }
  return Outcome::Ok();
}

bool ZipReader::Gather(const std::uint8_t** data, std::size_t* size) {
  const std::size_t before = *size;
  const bool complete = gather_.Fill(data, size);
  offset_ += before - *size;
  return complete;
}

Outcome ZipReader::Step(const std::uint8_t** data, std::size_t* size) {
  switch (state_) {
    case State::kEntryData: {
      const std::size_t before = *size;
      Outcome taken = data_.Take(data, size);
      offset_ += before - *size;
      if (!taken.ok()) return taken;
      return data_.ended() ? EndOfData() : Outcome::Ok();
    }
    case State::kSkip: {
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(*size, skipLeft_));
      *data += take;
      *size -= take;
      offset_ += take;
      skipLeft_ -= take;
      if (skipLeft_ == 0) {
        if (afterSkip_ == State::kSignature) ExpectSignature();
        else state_ = afterSkip_;
      }
      return Outcome::Ok();
    }
    case State::kDone:
      // Writers that pad their output to whole blocks (bsdtar into a pipe) add zeros here.
      for (std::size_t i = 0; i < *size; ++i)
        if ((*data)[i] != 0) return Damaged(L"结尾记录之后还有多余的数据" + At(offset_ + i));
      offset_ += *size;
      *data += *size;
      *size = 0;
      return Outcome::Ok();
    default:
      break;
  }
  if (!Gather(data, size)) return Outcome::Ok();
  const std::uint8_t* record = gather_.data();
  switch (state_) {
    case State::kSignature:
      return OnSignature();
    case State::kLocalFixed:
      state_ = State::kLocalNames;
      gather_.ExpectMore(ZipLocalVariableSize(record));
      return Gather(data, size) ? OnLocalHeader() : Outcome::Ok();
    case State::kLocalNames:
      return OnLocalHeader();
    case State::kDescriptor:
      return OnDescriptor();
    case State::kCentralFixed:
      state_ = State::kCentralNames;
      gather_.ExpectMore(ZipCentralVariableSize(record));
      return Gather(data, size) ? OnCentralRecord() : Outcome::Ok();
    case State::kCentralNames:
      return OnCentralRecord();
    case State::kZip64End: {
      const std::uint64_t recordSize = Le64(record + 4);
      if (recordSize < kZip64EndFixedSize - 12 ||
          recordSize - (kZip64EndFixedSize - 12) > kLargestZip64Extension)
        return Damaged(L"ZIP64 结尾记录的长度无效" + At(recordStart_));
      zip64End_.assign(record, record + kZip64EndFixedSize);
      sawZip64End_ = true;
      skipLeft_ = recordSize - (kZip64EndFixedSize - 12);
      afterSkip_ = State::kSignature;
      if (skipLeft_ == 0) ExpectSignature();
      else state_ = State::kSkip;
      return Outcome::Ok();
    }
    case State::kZip64Locator:
      if (!sawZip64End_ || Le64(record + 8) != zip64EndOffset_ || Le32(record + 4) != 0)
        return Damaged(L"ZIP64 定位记录与 ZIP64 结尾记录不符" + At(recordStart_));
      ExpectSignature();
      return Outcome::Ok();
    case State::kEnd:
      return OnEnd();
    default:
      return Outcome::Fail(QUENNET_E_INTERNAL, L"ZIP 解析状态错误");
  }
}

Outcome ZipReader::OnSignature() {
  const std::uint32_t signature = Le32(gather_.data());
  if (signature == kZipLocalSignature) {
    if (inDirectory_) return Damaged(L"中央目录之后出现了条目" + At(recordStart_));
    state_ = State::kLocalFixed;
    gather_.ExpectMore(kZipLocalFixedSize - 4);
    return Outcome::Ok();
  }
  if (signature == kZipCentralSignature) {
    if (!inDirectory_) directoryStart_ = recordStart_;
    inDirectory_ = true;
    if (sawZip64End_) return Damaged(L"中央目录记录出现在结尾记录之后" + At(recordStart_));
    state_ = State::kCentralFixed;
    gather_.ExpectMore(kZipCentralFixedSize - 4);
    return Outcome::Ok();
  }
  // The first record that is not a directory record ends the directory.
  if (!inDirectory_) directoryStart_ = recordStart_;
  if (!inDirectory_ || directoryEnd_ < directoryStart_) directoryEnd_ = recordStart_;
  inDirectory_ = true;
  switch (signature) {
    case kZip64EndSignature:
      if (sawZip64End_) return Damaged(L"ZIP64 结尾记录重复" + At(recordStart_));
      zip64EndOffset_ = recordStart_;
      state_ = State::kZip64End;
      gather_.ExpectMore(kZip64EndFixedSize - 4);
      return Outcome::Ok();
    case kZip64LocatorSignature:
      state_ = State::kZip64Locator;
      gather_.ExpectMore(kZip64LocatorSize - 4);
      return Outcome::Ok();
    case kZipEndSignature:
      state_ = State::kEnd;
      gather_.ExpectMore(kZipEndFixedSize - 4);
      return Outcome::Ok();
    case kZipDigitalSignatureSignature:
      return Outcome::Fail(QUENNET_E_UNSUPPORTED_FORMAT, L"不支持带数字签名的中央目录");
    default:
      return Damaged(L"遇到无法识别的数据" + At(recordStart_));
  }
}

Outcome ZipReader::OnLocalHeader() {
  entry_ = ParseZipLocalHeader(gather_.data());
  entryOffset_ = recordStart_;
  current_ = Extracted{};
  current_.rawName = entry_.rawName;
  listed_ = index_ ? index_->AtLocalOffset(entryOffset_) : nullptr;
  // The directory read ahead knows the host; a local header shows it only by its extra fields.
  const bool madeOnUnix = listed_ != nullptr ? MadeOnUnix(*listed_) : entry_.unixExtra;
  if (!DecodeZipName(entry_, madeOnUnix, &current_.name))
    return Refused(NameForPeople(entry_.rawName), L"名称不是有效的文本");
  const std::wstring& name = current_.name;

  if (index_ && listed_ == nullptr)
    return Damaged(L"条目“" + name + L"”不在中央目录里" + At(entryOffset_));
  if (listed_ != nullptr && listed_->rawName != entry_.rawName)
    return Damaged(L"条目“" + name + L"”的名称与中央目录不符");

  Outcome supported = CheckZipEntrySupported(entry_, name);
  if (!supported.ok()) return supported;
  const std::wstring unsafe = SplitSafeEntryName(name, &current_.parts);
  if (!unsafe.empty()) return Refused(name, unsafe);
  current_.folder = NamesFolder(name);
  if (!current_.folder && current_.parts.empty()) return Refused(name, L"名称为空");

  std::uint64_t compressedSize = ZipEntryData::kUnknown;
  std::uint64_t declaredSize = ZipEntryData::kUnknown;
  if (!(entry_.flags & kZipFlagDataDescriptor)) {
    compressedSize = entry_.compressedSize;
    declaredSize = entry_.size;
  } else if (listed_ != nullptr) {
    compressedSize = listed_->compressedSize;
    declaredSize = listed_->size;
  } else if (entry_.method == kZipStored && current_.folder) {
    compressedSize = declaredSize = 0;  // the descriptor that follows must agree
  } else if (entry_.method == kZipStored) {
    // Nothing marks where stored data ends: only the package file itself can tell.
    state_ = State::kDeferred;
    deferredOffset_ = entryOffset_;
    deferredName_ = name;
    return Outcome::Ok();
  }

  Outcome claimed = claims_.Claim(current_.parts, current_.folder, name);
  if (!claimed.ok()) return claimed;
  if (!current_.folder && declaredSize != ZipEntryData::kUnknown) {
    Outcome room = CheckRoomForEntry(out_, declaredSize, name);
    if (!room.ok()) return room;
  }
  Outcome opened = current_.folder ? out_.MakeFolder(current_.parts, name)
                                   : out_.BeginFile(current_.parts, name);
  if (!opened.ok()) return opened;
  Outcome begun = data_.Begin(entry_.method, current_.folder, compressedSize, declaredSize, name);
  if (!begun.ok()) return begun;
  state_ = State::kEntryData;
  return data_.ended() ? EndOfData() : Outcome::Ok();
}

Outcome ZipReader::EndOfData() {
  if (entry_.flags & kZipFlagDataDescriptor) {
    state_ = State::kDescriptor;
    recordStart_ = offset_;
    gather_.Expect(kDescriptorLookahead);
    return Outcome::Ok();
  }
  return CompleteEntry(entry_.crc, entry_.compressedSize, entry_.size);
}

Outcome ZipReader::OnDescriptor() {
  // The descriptor's layout is not marked: with or without its signature, 32- or 64-bit sizes.
  // The one whose sizes match what was actually read is the one written.
  struct Layout {
    bool signature;
    bool wide;
  };
  const std::uint8_t* bytes = gather_.data();
  for (const Layout layout : {Layout{true, true}, Layout{true, false}, Layout{false, true},
                              Layout{false, false}}) {
    if (layout.signature && Le32(bytes) != kZipDescriptorSignature) continue;
    const std::uint8_t* fields = bytes + (layout.signature ? 4 : 0);
    const std::uint64_t compressed = layout.wide ? Le64(fields + 4) : Le32(fields + 4);
    const std::uint64_t size = layout.wide ? Le64(fields + 12) : Le32(fields + 8);
    if (compressed != data_.compressed() || size != data_.produced()) continue;
    const std::size_t length = (layout.signature ? 4 : 0) + (layout.wide ? 20 : 12);
    replay_.assign(bytes + length, bytes + gather_.size());
    offset_ -= replay_.size();
    return CompleteEntry(Le32(fields), compressed, size);
  }
  return Damaged(L"条目“" + current_.name + L"”的数据描述符与数据不符" + At(recordStart_));
}

Outcome ZipReader::CompleteEntry(std::uint32_t crc, std::uint64_t compressedSize,
                                 std::uint64_t size) {
  const std::wstring& name = current_.name;
  if (compressedSize != data_.compressed() || size != data_.produced())
    return Damaged(L"条目“" + name + L"”的实际大小与声明的不符");
  if (crc != data_.crc())
    return Outcome::Fail(QUENNET_E_CHECKSUM, L"条目“" + name + L"”的 CRC-32 校验失败");
  if (listed_ != nullptr && (listed_->crc != crc || listed_->compressedSize != compressedSize ||
                             listed_->size != size))
    return Damaged(L"条目“" + name + L"”与中央目录的记录不一致");
  if (!current_.folder) {
    Outcome committed = out_.CommitFile();
    if (!committed.ok()) return committed;
    ++filesExtracted_;
    counters_.extractedFiles.store(filesExtracted_);
  }
  current_.crc = crc;
  current_.compressedSize = compressedSize;
  current_.size = size;
  extracted_[entryOffset_] = std::move(current_);
  ExpectSignature();
  return Outcome::Ok();
}

Outcome ZipReader::OnCentralRecord() {
  const ZipCentralRecord record = ParseZipCentralRecord(gather_.data());
  ++directoryRecords_;
  auto found = extracted_.find(record.localOffset);
  if (found == extracted_.end() || found->second.listed)
    return Damaged(L"中央目录列出的条目“" + NameForPeople(record.rawName) +
                   L"”不在压缩包正文中" + At(record.localOffset));
  Extracted& entry = found->second;
  entry.listed = true;
  if (record.rawName != entry.rawName || record.crc != entry.crc ||
      record.compressedSize != entry.compressedSize || record.size != entry.size)
    return Damaged(L"中央目录与条目“" + entry.name + L"”不一致");
  std::wstring listedName;
  if (!DecodeZipName(record, MadeOnUnix(record), &listedName) || listedName != entry.name) {
    // Only the directory showed how the name is encoded: the file written under the other
    // reading of its bytes goes again.
    if (!entry.folder) {
      out_.RemoveCommitted(entry.parts);
      counters_.extractedFiles.store(--filesExtracted_);
    }
    return Damaged(L"条目“" + entry.name + L"”的名称在中央目录中的编码不同（“" +
                   NameForPeople(record.rawName) + L"”），无法确定文件名");
  }
  if (IsZipLink(record)) {
    // Only the directory says an entry is a link: the plain file written for it goes again.
    if (!entry.folder) {
      out_.RemoveCommitted(entry.parts);
      counters_.extractedFiles.store(--filesExtracted_);
    }
    return Refused(entry.name, L"是符号链接");
  }
  if (record.diskNumber != 0)
    return Outcome::Fail(QUENNET_E_UNSUPPORTED_FORMAT, L"不支持分卷压缩包");
  ExpectSignature();
  return Outcome::Ok();
}

Outcome ZipReader::OnEnd() {
  ZipEndValues end = ParseZipEnd(gather_.data());
  if (sawZip64End_) ApplyZip64End(zip64End_.data(), &end);
  else if (end.needsZip64) return Damaged(L"缺少 ZIP64 结尾记录");
  if (end.diskNumber != 0 || end.directoryDisk != 0)
    return Outcome::Fail(QUENNET_E_UNSUPPORTED_FORMAT, L"不支持分卷压缩包");
  if (end.entries != directoryRecords_ || end.entriesOnDisk != end.entries)
    return Damaged(L"结尾记录说有 " + std::to_wstring(end.entries) + L" 个条目，中央目录里有 " +
                   std::to_wstring(directoryRecords_) + L" 个");
  if (directoryRecords_ != extracted_.size())
    return Damaged(L"压缩包正文中有 " + std::to_wstring(extracted_.size() - directoryRecords_) +
                   L" 个条目没有列在中央目录里");
  if (end.directoryOffset != directoryStart_ ||
      end.directorySize != directoryEnd_ - directoryStart_)
    return Damaged(L"结尾记录中的中央目录位置或大小不对");
  if (index_ && index_->records.size() != directoryRecords_)
    return Damaged(L"预先读取的中央目录与正文末尾的不同");
  counters_.totalFiles.store(filesExtracted_);
  skipLeft_ = Le16(gather_.data() + 20);
  afterSkip_ = State::kDone;
  state_ = skipLeft_ == 0 ? State::kDone : State::kSkip;
  return Outcome::Ok();
}

Outcome ZipReader::Finish(const std::wstring& keptPackagePath) {
  if (state_ == State::kDeferred) {
    if (keptPackagePath.empty())
      return Outcome::Fail(QUENNET_E_NOT_STREAMABLE,
                           L"条目“" + deferredName_ +
                               L"”是带数据描述符的存储条目，边下载边解压时无法确定它的长度；"
                               L"请保留安装包文件后重试");
    Outcome rest = ExtractRestFromKeptFile(keptPackagePath);
    if (!rest.ok()) return rest;
  }
  if (state_ != State::kDone)
    return Damaged(L"压缩包不完整，在偏移 " + std::to_wstring(offset_) + L" 处意外结束");
  return Outcome::Ok();
}

Outcome ZipReader::ExtractRestFromKeptFile(const std::wstring& path) {
  auto cannotRead = [&](const wchar_t* call) {
    return Outcome::Fail(QUENNET_E_WRITE_FAILED,
                         L"无法读取保留的安装包文件“" + path + L"”：" + win::CallFailed(call));
  };
  win::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return cannotRead(L"CreateFileW");
  LARGE_INTEGER fileSize{};
  if (!::GetFileSizeEx(file.get(), &fileSize)) return cannotRead(L"GetFileSizeEx");
  const std::uint64_t packageSize = static_cast<std::uint64_t>(fileSize.QuadPart);
  if (packageSize != received_)
    return Damaged(L"保留的安装包文件有 " + std::to_wstring(packageSize) + L" 字节，收到的是 " +
                   std::to_wstring(received_) + L" 字节");

  std::vector<std::uint8_t> buffer;
  auto readRange = [&](std::uint64_t from, std::uint64_t length) -> Outcome {
    buffer.resize(static_cast<std::size_t>(length));
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(from);
    if (!::SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN))
      return cannotRead(L"SetFilePointerEx");
    std::size_t done = 0;
    while (done < buffer.size()) {
      DWORD got = 0;
      if (!::ReadFile(file.get(), buffer.data() + done, static_cast<DWORD>(buffer.size() - done),
                      &got, nullptr))
        return cannotRead(L"ReadFile");
      if (got == 0) return Damaged(L"保留的安装包文件比预期的短");
      done += got;
    }
    return Outcome::Ok();
  };

  if (!index_) {
    // The entries still to come need the sizes only the directory has.
    auto index = std::make_shared<ZipIndex>();
    ByteRange range{packageSize - std::min(packageSize, kZipTailWindow),
                    std::min(packageSize, kZipTailWindow)};
    ZipTailResult result = ZipTailResult::kNeedRange;
    for (int round = 0; round < 3 && result == ZipTailResult::kNeedRange; ++round) {
      Outcome read = readRange(range.offset, range.length);
      if (!read.ok()) return read;
      ByteRange next;
      Outcome parsed = ReadZipIndexFromTail(buffer.data(), buffer.size(), range.offset,
                                            packageSize, index.get(), &next, &result);
      if (!parsed.ok()) return parsed;
      range = next;
    }
    if (result != ZipTailResult::kComplete) return Damaged(L"找不到可用的中央目录");
    std::uint32_t files = 0;
    std::uint64_t bytes = 0;
    Outcome vetted = VetZipIndex(*index, &files, &bytes);
    if (!vetted.ok()) return vetted;
    counters_.totalFiles.store(files);
    index_ = std::move(index);
  }

  // Read on from the deferred entry as if the bytes arrived again, now with the sizes known.
  offset_ = deferredOffset_;
  ExpectSignature();
  constexpr std::uint64_t kPiece = 1 << 20;
  for (std::uint64_t at = deferredOffset_; at < packageSize; at += kPiece) {
    const std::uint64_t length = std::min(kPiece, packageSize - at);
    Outcome read = readRange(at, length);
    if (!read.ok()) return read;
    Outcome fed = Feed(buffer.data(), buffer.size());
    if (!fed.ok()) return fed;
    if (state_ == State::kDeferred) return Outcome::Fail(QUENNET_E_INTERNAL, L"ZIP 解析状态错误");
  }
  return Outcome::Ok();
}

}  // namespace quennet

#include "tar_gz_reader.h"

#include <zlib.h>

#include <algorithm>

#include "entry_gate.h"
#include "entry_name.h"
#include "quennet.h"

namespace quennet {
namespace {

// Extended headers and long names are held whole; real ones are a few hundred bytes.
constexpr std::uint64_t kLargestPaxHeader = 1 << 20;
constexpr std::uint64_t kLargestLongName = 64 * 1024;
constexpr std::size_t kInflatePiece = 1 << 20;

Outcome Damaged(const std::wstring& what) {
  return Outcome::Fail(QUENNET_E_CORRUPT_ARCHIVE, L"tar.gz 安装包已损坏：" + what);
}

Outcome Refused(const std::wstring& name, const std::wstring& why) {
  return Outcome::Fail(QUENNET_E_REFUSED_ENTRY, L"拒绝解压条目“" + name + L"”：" + why);
}

std::wstring At(std::uint64_t offset) {
  return L"（解压后的偏移 " + std::to_wstring(offset) + L"）";
}

std::uint64_t PaddingAfter(std::uint64_t size) {
  return (kTarBlock - size % kTarBlock) % kTarBlock;
}

}  // namespace

TarGzReader::TarGzReader(OutputTree& out, ExtractCounters& counters)
    : out_(out), counters_(counters), tarBytes_(kInflatePiece) {
  ExpectHeader();
}

void TarGzReader::ExpectHeader() {
  state_ = State::kHeader;
  headerOffset_ = tarOffset_;
  gather_.Expect(kTarBlock);
}

void TarGzReader::Skip(const std::uint8_t** data, std::size_t* size, std::size_t count) {
  *data += count;
  *size -= count;
  left_ -= count;
  tarOffset_ += count;
}

void TarGzReader::SkipThenHeader(std::uint64_t bytes) {
  if (bytes == 0) return ExpectHeader();
  state_ = State::kSkip;
  left_ = bytes;
}

Outcome TarGzReader::Consume(const std::uint8_t* data, std::size_t size) {
  if (!gzip_.ready())
    return Outcome::Fail(QUENNET_E_INTERNAL, L"内存不足，无法初始化解压（zlib inflateInit2）");
  z_stream& stream = gzip_.stream();
  while (size > 0) {
    if (memberEnded_) {  // another gzip member follows
      gzip_.Reset();
      memberEnded_ = false;
    }
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = static_cast<uInt>(size);
    for (;;) {
      stream.next_out = tarBytes_.data();
      stream.avail_out = static_cast<uInt>(tarBytes_.size());
      const int result = inflate(&stream, Z_NO_FLUSH);
      Outcome fed = TarFeed(tarBytes_.data(), tarBytes_.size() - stream.avail_out);
      if (!fed.ok()) return fed;
      if (result == Z_STREAM_END) {
        memberEnded_ = true;
        break;
      }
      if (result != Z_OK && result != Z_BUF_ERROR)
        return Damaged(L"gzip 数据无法解压（" + gzip_.Message(result) + L"）");
      if (stream.avail_in == 0 && stream.avail_out != 0) break;
    }
    const std::size_t used = size - stream.avail_in;
    data += used;
    size -= used;
  }
  return Outcome::Ok();
}

Outcome TarGzReader::TarFeed(const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    Outcome step = TarStep(&data, &size);
    if (!step.ok()) return step;
  }
  return Outcome::Ok();
}

Outcome TarGzReader::TarStep(const std::uint8_t** data, std::size_t* size) {
  const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(*size, left_));
  switch (state_) {
    case State::kHeader: {
      const std::size_t before = *size;
      const bool complete = gather_.Fill(data, size);
      tarOffset_ += before - *size;
      return complete ? OnHeader() : Outcome::Ok();
    }
    case State::kFileData: {
      Outcome written = sparse_ ? sparseWriter_.Take(out_, *data, take) : out_.Append(*data, take);
      Skip(data, size, take);
      if (!written.ok()) return written;
      return left_ > 0 ? Outcome::Ok() : EndOfFile();
    }
    case State::kSparseMap: {
      const std::uint8_t* mapEnd = *data;
      std::size_t mapLeft = take;
      const SparseMapReader::Progress progress = sparseMap_.Take(&mapEnd, &mapLeft);
      Skip(data, size, static_cast<std::size_t>(mapEnd - *data));
      if (progress == SparseMapReader::Progress::kMalformed)
        return Damaged(L"稀疏文件“" + entryName_ + L"”的数据段表格式错误" + At(tarOffset_));
      if (progress == SparseMapReader::Progress::kMore)
        return left_ > 0 ? Outcome::Ok()
                         : Damaged(L"稀疏文件“" + entryName_ + L"”的数据段表不完整");
      Outcome begun = sparseWriter_.Begin(sparseMap_.segments(), sparseRealSize_, left_, entryName_);
      if (!begun.ok()) return begun;
      state_ = State::kFileData;
      return left_ > 0 ? Outcome::Ok() : EndOfFile();
    }
    case State::kCollect:
      collected_.append(reinterpret_cast<const char*>(*data), take);
      Skip(data, size, take);
      return left_ == 0 ? OnCollected() : Outcome::Ok();
    case State::kSkip:
      Skip(data, size, take);
      if (left_ == 0) ExpectHeader();
      return Outcome::Ok();
    case State::kEnd:
      // After the end marker only the zero blocks that round the archive up may follow.
      for (std::size_t i = 0; i < *size; ++i)
        if ((*data)[i] != 0) return Damaged(L"结束标记之后还有数据" + At(tarOffset_ + i));
      tarOffset_ += *size;
      *data += *size;
      *size = 0;
      return Outcome::Ok();
  }
  return Outcome::Fail(QUENNET_E_INTERNAL, L"tar 解析状态错误");
}

Outcome TarGzReader::OnHeader() {
  TarHeader header;
  switch (ParseTarHeader(gather_.data(), &header)) {
    case TarHeaderResult::kEndOfArchive:
      state_ = State::kEnd;
      return Outcome::Ok();
    case TarHeaderResult::kBadChecksum:
      return Damaged(L"条目头的校验和不对" + At(headerOffset_));
    case TarHeaderResult::kBadNumber:
      return Damaged(L"条目头中的大小无效" + At(headerOffset_));
    case TarHeaderResult::kEntry:
      break;
  }
  switch (header.type) {
    case 'x':
    case 'L':
    case 'K':
      if (header.size > (header.type == 'x' ? kLargestPaxHeader : kLargestLongName))
        return Damaged(L"扩展头过大" + At(headerOffset_));
      collecting_ = header.type;
      collected_.clear();
      left_ = header.size;
      padding_ = PaddingAfter(header.size);
      state_ = State::kCollect;
      return left_ == 0 ? OnCollected() : Outcome::Ok();
    case 'g':  // global pax records: nothing in them changes where or what is written
      SkipThenHeader(header.size + PaddingAfter(header.size));
      return Outcome::Ok();
    default:
      return BeginEntry(header);
  }
}

Outcome TarGzReader::OnCollected() {
  if (collecting_ == 'x') {
    if (!ParsePaxRecords(collected_, &pax_))
      return Damaged(L"pax 扩展头格式错误" + At(headerOffset_));
  } else if (collecting_ == 'L') {
    longName_ = collected_.substr(0, collected_.find('\0'));
    haveLongName_ = true;
  }
  collected_.clear();
  SkipThenHeader(padding_);
  return Outcome::Ok();
}

Outcome TarGzReader::EndOfFile() {
  if (sparse_) {
    Outcome filled = sparseWriter_.Finish(out_);
    if (!filled.ok()) return filled;
  }
  Outcome committed = out_.CommitFile();
  if (!committed.ok()) return committed;
  counters_.extractedFiles.store(++filesExtracted_);
  SkipThenHeader(padding_);
  return Outcome::Ok();
}

Outcome TarGzReader::BeginEntry(const TarHeader& header) {
  const PaxOverrides pax = std::move(pax_);
  pax_ = PaxOverrides{};
  std::string rawName = header.name;
  NameEncoding encoding = NameEncoding::kUtf8Or936;
  if (pax.SparseFormat10() && pax.sparseName) {
    rawName = *pax.sparseName;  // the header holds a made-up GNUSparseFile.N/ name
    encoding = NameEncoding::kUtf8;
  } else if (pax.path) {
    rawName = *pax.path;
    encoding = NameEncoding::kUtf8;
  } else if (haveLongName_) {
    rawName = longName_;
  }
  const std::uint64_t size = pax.size.value_or(header.size);
  haveLongName_ = false;

  if (!DecodeEntryName(rawName, encoding, &entryName_))
    return Refused(NameForPeople(rawName), L"名称不是有效的文本");
  if (header.type == 'S' || (pax.sparse && !pax.SparseFormat10()))
    return Outcome::Fail(QUENNET_E_UNSUPPORTED_FORMAT,
                         L"条目“" + entryName_ +
                             L"”是 GNU 稀疏文件，其格式不受支持（只支持 pax 稀疏格式 1.0）");
  sparse_ = pax.sparse;
  if (sparse_ && !pax.sparseRealSize)
    return Damaged(L"稀疏文件“" + entryName_ + L"”没有给出实际大小" + At(headerOffset_));
  sparseRealSize_ = pax.sparseRealSize.value_or(size);
  switch (header.type) {
    case '1':
    case '2':
      return Refused(entryName_, L"是链接");
    case '3':
    case '4':
      return Refused(entryName_, L"是设备文件");
    case '6':
      return Refused(entryName_, L"是管道文件");
    default:
      break;
  }
  const bool regular = header.type == '0' || header.type == '\0' || header.type == '7';
  const bool folder = header.type == '5' || (regular && NamesFolder(entryName_));
  if (!regular && !folder)
    return Outcome::Fail(QUENNET_E_UNSUPPORTED_FORMAT,
                         L"条目“" + entryName_ + L"”的类型“" +
                             std::wstring(1, static_cast<wchar_t>(header.type)) +
                             L"”不受支持（只支持普通文件和文件夹）");
  EntryParts parts;
  const std::wstring unsafe = SplitSafeEntryName(entryName_, &parts);
  if (!unsafe.empty()) return Refused(entryName_, unsafe);

  Outcome claimed = claims_.Claim(parts, folder, entryName_);
  if (!claimed.ok()) return claimed;
  if (folder) {
    if (sparse_) return Damaged(L"文件夹“" + entryName_ + L"”被标成了稀疏文件");
    if (!parts.empty()) {
      Outcome made = out_.MakeFolder(parts, entryName_);
      if (!made.ok()) return made;
    }
    SkipThenHeader(size + PaddingAfter(size));
    return Outcome::Ok();
  }
  if (parts.empty()) return Refused(entryName_, L"名称为空");
  Outcome room = CheckRoomForEntry(out_, sparseRealSize_, entryName_);
  if (!room.ok()) return room;
  Outcome opened = out_.BeginFile(parts, entryName_);
  if (!opened.ok()) return opened;
  left_ = size;
  padding_ = PaddingAfter(size);
  if (sparse_) {
    sparseMap_ = SparseMapReader{};
    state_ = State::kSparseMap;
    return size > 0 ? Outcome::Ok() : Damaged(L"稀疏文件“" + entryName_ + L"”没有数据段表");
  }
  state_ = State::kFileData;
  return size > 0 ? Outcome::Ok() : EndOfFile();
}

Outcome TarGzReader::Finish(const std::wstring& /*keptPackagePath*/) {
  if (!memberEnded_) return Damaged(L"gzip 数据不完整");
  if (state_ != State::kEnd) return Damaged(L"tar 数据在结束标记之前就结束了" + At(tarOffset_));
  counters_.totalFiles.store(filesExtracted_);
  return Outcome::Ok();
}

}  // namespace quennet

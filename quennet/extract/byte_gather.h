// A header or record that may arrive split over any number of pieces (one byte each, at worst):
// its bytes are collected here until the whole structure is present.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quennet {

class ByteGather {
 public:
  // Starts a new structure of `count` bytes.
  void Expect(std::size_t count) {
    bytes_.clear();
    wanted_ = count;
  }
  // The structure turned out longer (a name after a fixed header): `more` bytes follow.
  void ExpectMore(std::size_t more) { wanted_ += more; }

  // Takes bytes from the front of the piece until the structure is complete; true when it is.
  bool Fill(const std::uint8_t** data, std::size_t* size) {
    const std::size_t take = std::min(*size, wanted_ - bytes_.size());
    bytes_.insert(bytes_.end(), *data, *data + take);
    *data += take;
    *size -= take;
    return bytes_.size() == wanted_;
  }

  const std::uint8_t* data() const { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t wanted_ = 0;
};

}  // namespace quennet

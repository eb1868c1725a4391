#include "debuginfo/cfi_unwind.h"

#include <vector>

namespace orlent::debuginfo {
namespace {

constexpr size_t kMaxInstructions = 100000;
constexpr size_t kMaxRememberedStates = 64;
constexpr size_t kMaxExpressionStack = 64;
constexpr size_t kMaxExpressionSteps = 1000;

enum class RuleKind { kSameValue, kUndefined, kOffset, kValOffset, kRegister, kExpression,
                      kValExpression };

struct Rule {
  RuleKind kind = RuleKind::kSameValue;
  int64_t offset = 0;
  uint32_t reg = 0;
  ByteSpan expression = {};
};

struct Row {
  bool cfaByExpression = false;
  uint32_t cfaRegister = kEsp;
  int64_t cfaOffset = 0;
  ByteSpan cfaExpression;
  std::array<Rule, kRegisterCount> rules;
};

// Runs the instructions of `code` until the location passes `pc`. `initial` is the row the
// common entry's instructions gave, for DW_CFA_restore.
bool Execute(ByteSpan code, const CfiCommon& common, uint32_t start, uint32_t pc,
             const Row* initial, Row* row, std::string* why) {
  ByteCursor in(code);
  uint64_t location = start;
  std::vector<Row> remembered;
  auto rule = [&](uint64_t reg) -> Rule* {
    return reg < kRegisterCount ? &row->rules[reg] : nullptr;  // others don't matter here
  };
  for (size_t steps = 0; !in.AtEnd(); ++steps) {
    if (steps > kMaxInstructions) {
      *why = "the unwind rules run too long";
      return false;
    }
    const uint8_t op = in.U8();
    const uint8_t high = op & 0xC0, low = op & 0x3F;
    uint64_t advance = 0;
    if (high == 0x40) {
      advance = low;
    } else if (high == 0x80) {
      if (Rule* r = rule(low)) *r = {RuleKind::kOffset, int64_t(in.Uleb()) * common.dataAlignment};
      else in.Uleb();
    } else if (high == 0xC0) {
      if (Rule* r = rule(low)) *r = initial ? initial->rules[low] : Rule{};
    } else {
      switch (op) {
        case 0x00: break;  // nop
        case 0x01: {       // set_loc
          const uint64_t target = in.U32();
          if (target < location) {
            *why = "the unwind rules move backwards";
            return false;
          }
          if (target > pc) return in.ok();
          location = target;
          break;
        }
        case 0x02: advance = in.U8(); break;
        case 0x03: advance = in.U16(); break;
        case 0x04: advance = in.U32(); break;
        case 0x05: {  // offset_extended
          const uint64_t reg = in.Uleb();
          const int64_t offset = int64_t(in.Uleb()) * common.dataAlignment;
          if (Rule* r = rule(reg)) *r = {RuleKind::kOffset, offset};
          break;
        }
        case 0x06: {  // restore_extended
          const uint64_t reg = in.Uleb();
          if (Rule* r = rule(reg)) *r = initial ? initial->rules[reg] : Rule{};
          break;
        }
        case 0x07:  // undefined
        case 0x08: {  // same_value
          const uint64_t reg = in.Uleb();
          if (Rule* r = rule(reg)) *r = {op == 0x07 ? RuleKind::kUndefined : RuleKind::kSameValue};
          break;
        }
        case 0x09: {  // register
          const uint64_t reg = in.Uleb();
          const uint64_t from = in.Uleb();
          if (Rule* r = rule(reg)) *r = {RuleKind::kRegister, 0, static_cast<uint32_t>(from)};
          break;
        }
        case 0x0A:  // remember_state
          if (remembered.size() >= kMaxRememberedStates) {
            *why = "the unwind rules remember too many states";
            return false;
          }
          remembered.push_back(*row);
          break;
        case 0x0B:  // restore_state: the CFA rule with the registers, as GCC's epilogues expect
          if (remembered.empty()) {
            *why = "the unwind rules restore a state never remembered";
            return false;
          }
          *row = remembered.back();
          remembered.pop_back();
          break;
        case 0x0C:  // def_cfa
          row->cfaRegister = static_cast<uint32_t>(in.Uleb());
          row->cfaOffset = static_cast<int64_t>(in.Uleb());
          row->cfaByExpression = false;
          break;
        case 0x0D:  // def_cfa_register
          row->cfaRegister = static_cast<uint32_t>(in.Uleb());
          row->cfaByExpression = false;
          break;
        case 0x0E: row->cfaOffset = static_cast<int64_t>(in.Uleb()); break;  // def_cfa_offset
        case 0x0F:  // def_cfa_expression
          row->cfaExpression = in.Take(in.Uleb());
          row->cfaByExpression = true;
          break;
        case 0x10:    // expression
        case 0x16: {  // val_expression
          const uint64_t reg = in.Uleb();
          const ByteSpan expression = in.Take(in.Uleb());
          if (Rule* r = rule(reg))
            *r = {op == 0x10 ? RuleKind::kExpression : RuleKind::kValExpression, 0, 0,
                  expression};
          break;
        }
        case 0x11: {  // offset_extended_sf
          const uint64_t reg = in.Uleb();
          const int64_t offset = in.Sleb() * common.dataAlignment;
          if (Rule* r = rule(reg)) *r = {RuleKind::kOffset, offset};
          break;
        }
        case 0x12:  // def_cfa_sf
          row->cfaRegister = static_cast<uint32_t>(in.Uleb());
          row->cfaOffset = in.Sleb() * common.dataAlignment;
          row->cfaByExpression = false;
          break;
        case 0x13: row->cfaOffset = in.Sleb() * common.dataAlignment; break;  // def_cfa_offset_sf
        case 0x14:    // val_offset
        case 0x15: {  // val_offset_sf
          const uint64_t reg = in.Uleb();
          const int64_t offset =
              (op == 0x14 ? int64_t(in.Uleb()) : in.Sleb()) * common.dataAlignment;
          if (Rule* r = rule(reg)) *r = {RuleKind::kValOffset, offset};
          break;
        }
        case 0x2E: in.Uleb(); break;  // GNU_args_size: the CFA already accounts for it
        case 0x2F: {                  // GNU_negative_offset_extended
          const uint64_t reg = in.Uleb();
          const int64_t offset = -int64_t(in.Uleb()) * common.dataAlignment;
          if (Rule* r = rule(reg)) *r = {RuleKind::kOffset, offset};
          break;
        }
        default:
          *why = "an unknown unwind instruction 0x" + std::to_string(op);
          return false;
      }
    }
    if (!in.ok()) {
      *why = "the unwind rules are cut short";
      return false;
    }
    if (advance != 0) {
      location += advance * common.codeAlignment;
      if (location > pc) return true;
    }
  }
  return true;
}

// The DWARF expressions GCC writes into call frame information (a realigned stack's CFA:
// DW_OP_breg5 -16; DW_OP_deref), evaluated over the callee's registers and stack.
bool Evaluate(ByteSpan expression, const Registers& regs, const WordReader& read,
              bool pushCfa, uint32_t cfa, uint32_t* result, std::string* why) {
  std::vector<uint32_t> stack;
  if (pushCfa) stack.push_back(cfa);
  ByteCursor in(expression);
  auto need = [&](size_t n) { return stack.size() >= n; };
  for (size_t steps = 0; !in.AtEnd(); ++steps) {
    if (steps > kMaxExpressionSteps || stack.size() > kMaxExpressionStack) {
      *why = "an unwind expression runs too long";
      return false;
    }
    const uint8_t op = in.U8();
    if (op >= 0x70 && op <= 0x8F) {  // breg0..31
      const uint32_t reg = op - 0x70;
      const int64_t offset = in.Sleb();
      if (reg >= kRegisterCount || !regs.known[reg]) {
        *why = "an unwind expression uses an unknown register";
        return false;
      }
      stack.push_back(static_cast<uint32_t>(regs.value[reg] + offset));
    } else if (op >= 0x30 && op <= 0x4F) {  // lit0..31
      stack.push_back(op - 0x30);
    } else {
      switch (op) {
        case 0x06: {  // deref
          uint32_t value = 0;
          if (!need(1) || !read(stack.back(), &value)) {
            *why = "an unwind expression reads unreadable memory";
            return false;
          }
          stack.back() = value;
          break;
        }
        case 0x08: stack.push_back(in.U8()); break;
        case 0x09: stack.push_back(static_cast<uint32_t>(int8_t(in.U8()))); break;
        case 0x0A: stack.push_back(in.U16()); break;
        case 0x0B: stack.push_back(static_cast<uint32_t>(int16_t(in.U16()))); break;
        case 0x0C: case 0x0D: stack.push_back(in.U32()); break;
        case 0x10: stack.push_back(static_cast<uint32_t>(in.Uleb())); break;
        case 0x11: stack.push_back(static_cast<uint32_t>(in.Sleb())); break;
        case 0x12: if (need(1)) stack.push_back(stack.back()); break;  // dup
        case 0x1A: case 0x1C: case 0x22: {  // and, minus, plus
          if (!need(2)) break;
          const uint32_t b = stack.back();
          stack.pop_back();
          uint32_t& a = stack.back();
          a = op == 0x1A ? (a & b) : op == 0x1C ? a - b : a + b;
          break;
        }
        case 0x23:  // plus_uconst
          if (need(1)) stack.back() += static_cast<uint32_t>(in.Uleb());
          break;
        default:
          *why = "an unwind expression uses an operation not read here";
          return false;
      }
    }
    if (!in.ok() || stack.empty()) {
      *why = "an unwind expression is malformed";
      return false;
    }
  }
  if (stack.empty()) {
    *why = "an unwind expression gives no value";
    return false;
  }
  *result = stack.back();
  return true;
}

}  // namespace

bool UnwindByCfi(const CfiTable& table, const CfiDescription& description, uint32_t pc,
                 const Registers& callee, const WordReader& read, Registers* caller,
                 std::string* why) {
  const CfiCommon& common = table.common(description);
  Row initial;
  // The common instructions hold for the whole range: run them to its end.
  if (!Execute(common.initialInstructions, common, description.begin, UINT32_MAX, nullptr,
               &initial, why))
    return false;
  Row row = initial;
  if (!Execute(description.instructions, common, description.begin, pc, &initial, &row, why))
    return false;

  uint32_t cfa = 0;
  if (row.cfaByExpression) {
    if (!Evaluate(row.cfaExpression, callee, read, false, 0, &cfa, why)) return false;
  } else {
    if (row.cfaRegister >= kRegisterCount || !callee.known[row.cfaRegister]) {
      *why = "the frame's base register is not known";
      return false;
    }
    cfa = static_cast<uint32_t>(callee.value[row.cfaRegister] + row.cfaOffset);
  }

  Registers next;
  for (uint32_t reg = 0; reg < kRegisterCount; ++reg) {
    const Rule& rule = row.rules[reg];
    uint32_t value = 0;
    switch (rule.kind) {
      case RuleKind::kSameValue:
        if (callee.known[reg]) next.Set(Register(reg), callee.value[reg]);
        break;
      case RuleKind::kUndefined: break;
      case RuleKind::kOffset:
        if (read(static_cast<uint32_t>(cfa + rule.offset), &value)) next.Set(Register(reg), value);
        else if (reg == common.returnAddressRegister) {
          *why = "the return address lies in unreadable memory";
          return false;
        }
        break;
      case RuleKind::kValOffset: next.Set(Register(reg), static_cast<uint32_t>(cfa + rule.offset)); break;
      case RuleKind::kRegister:
        if (rule.reg < kRegisterCount && callee.known[rule.reg])
          next.Set(Register(reg), callee.value[rule.reg]);
        break;
      case RuleKind::kExpression:
      case RuleKind::kValExpression: {
        uint32_t address = 0;
        if (!Evaluate(rule.expression, callee, read, true, cfa, &address, why)) return false;
        if (rule.kind == RuleKind::kValExpression) next.Set(Register(reg), address);
        else if (read(address, &value)) next.Set(Register(reg), value);
        break;
      }
    }
  }
  // The caller's stack pointer is the CFA by definition; its pc is the return address.
  next.Set(kEsp, cfa);
  const uint32_t ra = common.returnAddressRegister;
  if (ra >= kRegisterCount || !next.known[ra]) {
    *why = "the rules give no return address";
    return false;
  }
  next.Set(kEip, next.value[ra]);
  *caller = next;
  return true;
}

}  // namespace orlent::debuginfo

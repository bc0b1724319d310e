// What the scanner does outside the grammar: fault messages, verdicts asked
// of the omitter, and the hand-over to the path chosen for the scan.
#include "scanner.h"

#include <cstring>

namespace velmora::scan {

const char* fault_message(Fault fault) {
    switch (fault) {
        case Fault::kExpectingValue: return "Expecting value";
        case Fault::kExpectingComma: return "Expecting ',' delimiter";
        case Fault::kExpectingColon: return "Expecting ':' delimiter";
        case Fault::kExpectingName: return "Expecting property name enclosed in double quotes";
        case Fault::kUnterminatedString: return "Unterminated string starting at";
        case Fault::kControlCharacter: return "Invalid control character at";
        case Fault::kInvalidEscape: return "Invalid \\escape";
        case Fault::kInvalidUnicodeEscape: return "Invalid \\uXXXX escape";
        case Fault::kInvalidUtf8: return "Invalid UTF-8";
        case Fault::kExtraData: return "Extra data";
        case Fault::kNoMemory: return "out of memory";
        case Fault::kVerdictFailed: return "the omitter failed";
        case Fault::kNone: break;
    }
    return "no fault";
}

int Scanner::ask_member(const uint8_t* key, const uint8_t* key_end, const KeyProbe& k) {
    if (plan_ != nullptr) {  // the key table keeps the paths' names too
        const bool escaped = std::memchr(key, '\\', size_t(key_end - key)) != nullptr;
        const KeyCache::Slot* learnt = learn(key, key_end, escaped, k);
        return learnt != nullptr ? learnt->verdict : -1;
    }
    const int verdict = verdicts_.ask(verdicts_.context, key, key_end);
    if (verdict < 0) return -1;
    if (!keys_.insert(key, size_t(key_end - key), k, verdict)) {
        fault_ = Fault::kNoMemory;
        return -1;
    }
    return verdict;
}

const KeyCache::Slot* Scanner::learn(const uint8_t* key, const uint8_t* key_end, bool escaped, const KeyProbe& k) {
    static_assert(kPathWords == 2, "the key table keeps two words of path positions");
    const bool paths = plan_ != nullptr && plan_->step_count > 0;
    const int verdict = rest_ >= 0 && !escaped && !paths ? rest_ : verdicts_.ask(verdicts_.context, key, key_end);
    if (verdict < 0) return nullptr;
    uint64_t names[kPathWords] = {0, 0};
    if (paths) {
        ByteLabel label{reinterpret_cast<const char*>(key), size_t(key_end - key)};
        if (escaped) {
            if (!decode_key_utf8(key, key_end, label_)) {
                fault_ = Fault::kNoMemory;
                return nullptr;
            }
            label = ByteLabel{reinterpret_cast<const char*>(label_.data()), label_.size()};
        }
        const uint64_t all[kPathWords] = {~uint64_t(0), ~uint64_t(0)};
        plan_names(plan_, label, all, names);
    }
    const KeyCache::Slot* learnt = keys_.insert(key, size_t(key_end - key), k, verdict, names);
    if (learnt == nullptr) fault_ = Fault::kNoMemory;
    return learnt;
}

int Scanner::top_verdict() {
    if (top_verdict_ < 0) top_verdict_ = verdicts_.ask(verdicts_.context, nullptr, nullptr);
    return top_verdict_;
}

Fault Scanner::text(const uint8_t* begin, const uint8_t* end, bool* blank, const uint8_t** where) {
    copy_from_ = begin;
    return entry_of(path_, planned()).text(*this, begin, end, blank, where);
}

Fault Scanner::lines(const uint8_t* begin, const uint8_t* end, bool skip_bad, ByteBuffer& faults, size_t* lines) {
    return entry_of(path_, planned()).lines(*this, begin, end, skip_bad, faults, lines);
}

}  // namespace velmora::scan

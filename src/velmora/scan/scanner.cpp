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
    const int verdict = verdicts_.ask(verdicts_.context, key, key_end);
    if (verdict < 0) return -1;
    if (!keys_.insert(key, size_t(key_end - key), k, verdict)) {
        fault_ = Fault::kNoMemory;
        return -1;
    }
    return verdict;
}

int Scanner::top_verdict() {
    if (top_verdict_ < 0) top_verdict_ = verdicts_.ask(verdicts_.context, nullptr, nullptr);
    return top_verdict_;
}

Fault Scanner::text(const uint8_t* begin, const uint8_t* end, bool* blank, const uint8_t** where) {
    copy_from_ = begin;
    return entry_of(path_).text(*this, begin, end, blank, where);
}

Fault Scanner::lines(const uint8_t* begin, const uint8_t* end, bool skip_bad, ByteBuffer& faults, size_t* lines) {
    return entry_of(path_).lines(*this, begin, end, skip_bad, faults, lines);
}

}  // namespace velmora::scan

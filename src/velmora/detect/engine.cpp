// Compiling an engine.
#include "engine.h"

#include <new>

namespace velmora::detect {

bool GramTable::make(size_t count) {
    size_t slots = 16;
    while (slots < count * 2) slots *= 2;
    mask_ = uint32_t(slots - 1);
    return keys_.zeroed(slots) && states_.zeroed(slots);
}

void GramTable::add(uint32_t gram, uint32_t state) {
    for (uint32_t i = slot(gram);; i = (i + 1) & mask_) {
        if (states_[i] == 0 || keys_[i] == gram) {
            keys_[i] = gram;
            states_[i] = state;
            return;
        }
    }
}

namespace {

// Bitmap size: about 48 bits per gram or more, between 16 KiB and 64 KiB
// (it is read for every place of the text: it must stay near the core).
uint32_t filter_bits_log2(size_t grams) {
    uint32_t log2 = 17;
    while (log2 < 19 && (size_t(1) << log2) < grams * 48) log2++;
    return log2;
}

// The second look: about 32 bits per gram (two per value), between 1 KiB
// and 32 KiB.
uint32_t check_bits_log2(size_t values) {
    uint32_t log2 = 13;
    while (log2 < 18 && (size_t(1) << log2) < values * 2 * 32) log2++;
    return log2;
}

// The folded gram of a value's first four code points (the value is
// well-formed UTF-8 of at least four).
uint32_t code_gram(const Pattern& p) {
    uint8_t folded[4];
    size_t at = 0;
    for (int i = 0; i < 4; i++) {
        const uint8_t b = p.data[at];
        uint32_t c;
        int length;
        if (b < 0x80) {
            c = b;
            length = 1;
        } else if (b < 0xE0) {
            c = b & 0x1F;
            length = 2;
        } else if (b < 0xF0) {
            c = b & 0x0F;
            length = 3;
        } else {
            c = b & 0x07;
            length = 4;
        }
        for (int k = 1; k < length; k++) c = (c << 6) | (p.data[at + k] & 0x3F);
        at += length;
        folded[i] = fold_unit(c);
    }
    return gram_of_bytes(folded);
}

}  // namespace

Engine* compile(Pattern* values, size_t count, uint32_t formats) {
    Engine* engine = new (std::nothrow) Engine();
    if (engine == nullptr) return nullptr;
    engine->formats = formats;
    engine->first = first_units(formats);
    engine->has_values = count > 0;
    size_t format_grams = 0;
    for_each_format_gram(formats, [&](uint32_t) { return ++format_grams, true; });
    const uint32_t log2 = filter_bits_log2(format_grams + count);
    bool ok = engine->any_utf8.make(log2) && engine->any_code.make(log2) &&
              engine->values_check.make(check_bits_log2(count)) && engine->values_utf8.make(count) &&
              engine->values.build(values, count);
    if (ok) {
        for_each_format_gram(formats, [&](uint32_t gram) {
            engine->any_utf8.add(gram);
            engine->any_code.add(gram);
            return true;
        });
        for (size_t i = 0; i < count; i++) {
            const Pattern& p = values[i];
            const uint32_t utf8 = gram_of_bytes(p.data);
            uint32_t state = Automaton::kRoot;
            for (int k = 0; k < 4; k++) state = engine->values.step(state, p.data[k]);
            engine->values_utf8.add(utf8, state);
            engine->any_utf8.add(utf8);
            engine->values_check.add(utf8);
            const uint32_t code = code_gram(p);
            engine->any_code.add(code);
            engine->values_check.add(code);
        }
    }
    if (!ok) {
        delete engine;
        return nullptr;
    }
    return engine;
}

void release(Engine* engine) {
    if (engine != nullptr && engine->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete engine;
}

}  // namespace velmora::detect

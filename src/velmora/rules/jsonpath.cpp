// Reading JSON paths.
#include "jsonpath.h"

#include "../omit/rule_plan.h"

namespace velmora::rules {

namespace {

// A cursor over the code points of the path.
class Reader {
public:
    Reader(PyObject* path, Py_ssize_t which)
        : path_(path), which_(which), kind_(PyUnicode_KIND(path)), data_(PyUnicode_DATA(path)),
          length_(PyUnicode_GET_LENGTH(path)) {}

    bool done() const { return at_ >= length_; }
    Py_UCS4 peek(Py_ssize_t ahead = 0) const {
        return at_ + ahead < length_ ? PyUnicode_READ(kind_, data_, at_ + ahead) : 0;
    }
    bool eat(Py_UCS4 c) {
        if (done() || peek() != c) return false;
        at_++;
        return true;
    }
    Py_ssize_t at() const { return at_; }
    void skip(Py_ssize_t n) { at_ += n; }

    // ValueError naming the path and the position `where`; returns null.
    PyObject* fault(const char* what, Py_ssize_t where) const {
        PyErr_Format(PyExc_ValueError, "paths[%zd] %R: %s at position %zd", which_, path_, what, where);
        return nullptr;
    }
    PyObject* fault(const char* what) const { return fault(what, at_); }

    PyObject* bare_name();
    PyObject* quoted_name();
    PyObject* index();

private:
    PyObject* path_;
    Py_ssize_t which_;
    int kind_;
    const void* data_;
    Py_ssize_t length_;
    Py_ssize_t at_ = 0;
};

bool bare(Py_UCS4 c) {
    switch (c) {
        case '.': case '[': case ']': case '\'': case '"': case '*': case ' ': case '\t': case '\n': case '\r':
            return false;
        default:
            return c >= 0x20 && c != 0x7F;
    }
}

// A name after '.' or '..': one bare character or more.
PyObject* Reader::bare_name() {
    const Py_ssize_t from = at_;
    while (!done() && bare(peek())) at_++;
    if (at_ == from) return fault(done() ? "a name is expected" : "a name, '*' or '[' is expected");
    return PyUnicode_Substring(path_, from, at_);
}

int hex_value(Py_UCS4 c) {
    if (c >= '0' && c <= '9') return int(c - '0');
    if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
    return -1;
}

// A quoted name, at its opening quote; escapes as in JSON strings (and \'),
// an escaped surrogate pair read as one character.
PyObject* Reader::quoted_name() {
    const Py_UCS4 quote = peek();
    const Py_ssize_t opening = at_++;
    Ref pieces = Ref::steal(PyList_New(0));
    if (!pieces) return nullptr;
    for (;;) {
        if (done()) return fault("the quoted name is not closed", opening);
        Py_UCS4 c = peek();
        const Py_ssize_t here = at_++;
        if (c == quote) break;
        if (c < 0x20) return fault("a control character must be escaped", here);
        if (c == '\\') {
            const Py_UCS4 e = peek();
            at_++;
            switch (e) {
                case '"': case '\\': case '/': case '\'': c = e; break;
                case 'b': c = '\b'; break;
                case 'f': c = '\f'; break;
                case 'n': c = '\n'; break;
                case 'r': c = '\r'; break;
                case 't': c = '\t'; break;
                case 'u': {
                    Py_UCS4 u = 0;
                    for (int i = 0; i < 4; i++) {
                        const int h = hex_value(peek(i));
                        if (at_ + i >= length_ || h < 0) return fault("\\u needs four hex digits", here);
                        u = u << 4 | Py_UCS4(h);
                    }
                    at_ += 4;
                    if (u >= 0xD800 && u <= 0xDBFF && peek() == '\\' && peek(1) == 'u') {
                        Py_UCS4 low = 0;
                        bool ok = true;
                        for (int i = 0; i < 4 && ok; i++) {
                            const int h = hex_value(peek(2 + i));
                            ok = at_ + 2 + i < length_ && h >= 0;
                            low = low << 4 | Py_UCS4(h < 0 ? 0 : h);
                        }
                        if (ok && low >= 0xDC00 && low <= 0xDFFF) {
                            u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
                            at_ += 6;
                        }
                    }
                    c = u;
                    break;
                }
                default:
                    return fault(done() ? "the quoted name is not closed" : "invalid escape", done() ? opening : here);
            }
        }
        Ref one = Ref::steal(PyUnicode_FromOrdinal(int(c)));
        if (!one || PyList_Append(pieces.get(), one.get()) < 0) return nullptr;
    }
    Ref empty = Ref::steal(PyUnicode_New(0, 0));
    if (!empty) return nullptr;
    return PyUnicode_Join(empty.get(), pieces.get());
}

// An index, at its first digit.
PyObject* Reader::index() {
    const Py_ssize_t from = at_;
    if (peek() == '-') return fault("negative indexes are not supported");
    while (!done() && peek() >= '0' && peek() <= '9') at_++;
    if (at_ == from) return fault("a quoted name, an index or '*' is expected");
    if (at_ - from > 1 && PyUnicode_READ(kind_, data_, from) == '0') return fault("an index has no leading zeros", from);
    if (at_ - from > 18) return fault("the index is too large", from);
    Ref digits = Ref::steal(PyUnicode_Substring(path_, from, at_));
    return digits ? PyLong_FromUnicodeObject(digits.get(), 10) : nullptr;
}

int append_step(PyObject* steps, PathStep::Kind kind, PyObject* argument) {
    if (argument == nullptr) return -1;
    Ref held = Ref::steal(argument);
    Ref step = Ref::steal(Py_BuildValue("(iO)", int(kind), argument));
    return step && PyList_Append(steps, step.get()) == 0 ? 0 : -1;
}

}  // namespace

PyObject* parse_path(PyObject* path, Py_ssize_t which) {
    Reader r(path, which);
    if (!r.eat('$')) return r.fault("a path starts with '$'");
    Ref steps = Ref::steal(PyList_New(0));
    if (!steps) return nullptr;
    while (!r.done()) {
        int rc;
        if (r.eat('.')) {
            if (r.eat('.')) {
                if (r.peek() == '[' && (r.peek(1) == '\'' || r.peek(1) == '"')) {
                    r.skip(1);
                    rc = append_step(steps.get(), PathStep::kDescend, r.quoted_name());
                    if (rc == 0 && !r.eat(']')) return r.fault("']' is expected");
                } else if (r.peek() == '*' || r.peek() == '[') {
                    return r.fault("after '..' a name is expected");
                } else {
                    rc = append_step(steps.get(), PathStep::kDescend, r.bare_name());
                }
            } else if (r.eat('*')) {
                rc = append_step(steps.get(), PathStep::kAny, new_ref(Py_None));
            } else {
                rc = append_step(steps.get(), PathStep::kMember, r.bare_name());
            }
        } else if (r.eat('[')) {
            const Py_UCS4 c = r.peek();
            if (c == '\'' || c == '"') {
                rc = append_step(steps.get(), PathStep::kMember, r.quoted_name());
            } else if (r.eat('*')) {
                rc = append_step(steps.get(), PathStep::kAny, new_ref(Py_None));
            } else {
                rc = append_step(steps.get(), PathStep::kIndex, r.index());
            }
            if (rc == 0 && !r.eat(']')) return r.fault("']' is expected");
        } else {
            return r.fault("'.' or '[' is expected");
        }
        if (rc < 0) return nullptr;
    }
    return steps.release();
}

}  // namespace velmora::rules

// Reading a rule plan for a scan, and key names for the path automaton.
#include "selection.h"

#include "text.h"

#include <new>

namespace velmora::scan {

int read_scan_plan(OmitterObject* omitter, ScanPlan* out) {
    const RulePlan* plan = rule_plan_of(omitter);
    if (plan == nullptr) return 0;
    if (plan->policy_count == 0 || plan->policies == nullptr) {
        PyErr_SetString(PyExc_SystemError, "the omitter's rule plan has no policy");
        return -1;
    }
    out->specs = new (std::nothrow) MaskSpec[plan->policy_count];
    if (out->specs == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    for (uint32_t i = 0; i < plan->policy_count; i++) {
        const PlanPolicy& policy = plan->policies[i];
        MaskSpec& spec = out->specs[i];
        if (read_policy(&policy.str, &spec) < 0) return -1;
        spec.numbers = policy.numbers;
        spec.booleans = policy.booleans;
        if (policy.numbers == kNumbersString || policy.booleans == kBooleansString) {
            if (policy.text == nullptr || !PyUnicode_CheckExact(policy.text)) {
                PyErr_SetString(PyExc_SystemError, "the omitter's rule plan has no mask text");
                return -1;
            }
            Py_UCS4* text = PyUnicode_AsUCS4Copy(policy.text);
            if (text == nullptr) return -1;
            const bool written = write_json_string(spec.type_text, reinterpret_cast<const uint32_t*>(text),
                                                   size_t(PyUnicode_GET_LENGTH(policy.text)));
            PyMem_Free(text);
            if (!written) {
                PyErr_NoMemory();
                return -1;
            }
        }
    }
    out->plan = plan;
    return 0;
}

bool decode_key_utf8(const uint8_t* p, const uint8_t* end, ByteBuffer& out) {
    out.clear();
    if (!out.reserve(size_t(end - p))) return false;  // never longer than the escaped form
    while (p < end) {
        uint32_t c;
        p = next_code_point(p, end, &c);
        uint8_t bytes[4];
        const size_t n = utf8_encode(c, bytes);
        if (!out.append(bytes, n)) return false;
    }
    return true;
}

}  // namespace velmora::scan

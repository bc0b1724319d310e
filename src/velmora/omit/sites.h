// Every place a failure adds a traceback entry, named once: the entry's
// qualified name, file and line. Each line of the table below is one site;
// tests/sites.py reads this table, so the tests name sites the same way.
//
// The module's own operations report the file "src\\velmora\\omit" (two
// backslash characters between the parts); the pickling operations report
// "<stringsource>".
#pragma once

#include <cstdint>

namespace velmora {

inline constexpr const char* kSourceFile = "src\\\\velmora\\\\omit";
inline constexpr const char* kStringSource = "<stringsource>";
// The file of the code objects behind `__code__` (single backslashes).
inline constexpr const char* kCodeFile = "src\\velmora\\omit";

// clang-format off
#define VELMORA_SITES(X) \
    X(HideCall,                "velmora.omit.hide",                                    kSourceFile, 8)  \
    X(HideNone,                "velmora.omit.hide",                                    kSourceFile, 10) \
    X(HideMask,                "velmora.omit.hide",                                    kSourceFile, 11) \
    X(GloballyHiddenCall,      "velmora.omit.globally_hidden",                         kSourceFile, 13) \
    X(GloballyHiddenCopy,      "velmora.omit.globally_hidden",                         kSourceFile, 14) \
    X(AlwaysOmitCall,          "velmora.omit.always_omit",                             kSourceFile, 16) \
    X(AlwaysOmitExtend,        "velmora.omit.always_omit",                             kSourceFile, 18) \
    X(GloballyTrustedCall,     "velmora.omit.globally_trusted",                        kSourceFile, 20) \
    X(GloballyTrustedCopy,     "velmora.omit.globally_trusted",                        kSourceFile, 21) \
    X(AlwaysTrustCall,         "velmora.omit.always_trust",                            kSourceFile, 23) \
    X(AlwaysTrustExtend,       "velmora.omit.always_trust",                            kSourceFile, 25) \
    X(ResetOmissionsCall,      "velmora.omit.reset_omissions",                         kSourceFile, 27) \
    X(ResetOmissionsNew,       "velmora.omit.reset_omissions",                         kSourceFile, 29) \
    X(ResetTrustedCall,        "velmora.omit.reset_trusted",                           kSourceFile, 31) \
    X(ResetTrustedNew,         "velmora.omit.reset_trusted",                           kSourceFile, 33) \
    X(OmitterInitBinding,      "velmora.omit.Omitter.__init__",                        kSourceFile, 38) \
    X(OmitterInitList,         "velmora.omit.Omitter.__init__",                        kSourceFile, 41) \
    X(OmitterShouldHide,       "velmora.omit.Omitter.should_hide",                     kSourceFile, 44) \
    X(OmitCall,                "velmora.omit.Omitter.omit",                            kSourceFile, 46) \
    X(OmitIteration,           "velmora.omit.Omitter.omit",                            kSourceFile, 48) \
    X(OmitNumberTest,          "velmora.omit.Omitter.omit",                            kSourceFile, 49) \
    X(OmitStrKey,              "velmora.omit.Omitter.omit",                            kSourceFile, 52) \
    X(OmitStrMask,             "velmora.omit.Omitter.omit",                            kSourceFile, 54) \
    X(OmitDict,                "velmora.omit.Omitter.omit",                            kSourceFile, 56) \
    X(OmitListKey,             "velmora.omit.Omitter.omit",                            kSourceFile, 58) \
    X(OmitList,                "velmora.omit.Omitter.omit",                            kSourceFile, 59) \
    X(RecurseCall,             "velmora.omit.Omitter.omit_recurse",                    kSourceFile, 62) \
    X(RecurseNone,             "velmora.omit.Omitter.omit_recurse",                    kSourceFile, 64) \
    X(RecurseItem,             "velmora.omit.Omitter.omit_recurse",                    kSourceFile, 66) \
    X(RecurseDict,             "velmora.omit.Omitter.omit_recurse",                    kSourceFile, 68) \
    X(RecurseList,             "velmora.omit.Omitter.omit_recurse",                    kSourceFile, 70) \
    X(RecurseStr,              "velmora.omit.Omitter.omit_recurse",                    kSourceFile, 72) \
    X(NoTrustInitBinding,      "velmora.omit.NoTrustOmitter.__init__",                 kSourceFile, 79) \
    X(NoTrustInitList,         "velmora.omit.NoTrustOmitter.__init__",                 kSourceFile, 82) \
    X(NoTrustShouldHide,       "velmora.omit.NoTrustOmitter.should_hide",              kSourceFile, 85) \
    X(OmitterReduceState,      "velmora.omit.Omitter.__reduce_cython__",               kStringSource, 5)  \
    X(OmitterReduceDict,       "velmora.omit.Omitter.__reduce_cython__",               kStringSource, 6)  \
    X(OmitterReduceJoin,       "velmora.omit.Omitter.__reduce_cython__",               kStringSource, 8)  \
    X(OmitterReduceSeparate,   "velmora.omit.Omitter.__reduce_cython__",               kStringSource, 13) \
    X(OmitterReduceInline,     "velmora.omit.Omitter.__reduce_cython__",               kStringSource, 15) \
    X(OmitterSetstateBinding,  "velmora.omit.Omitter.__setstate_cython__",             kStringSource, 16) \
    X(OmitterSetstateState,    "velmora.omit.Omitter.__setstate_cython__",             kStringSource, 17) \
    X(OmitterUnpickleArgs,     "velmora.omit.__pyx_unpickle_Omitter",                  kStringSource, 1)  \
    X(OmitterUnpickleAccept,   "velmora.omit.__pyx_unpickle_Omitter",                  kStringSource, 4)  \
    X(OmitterUnpickleImport,   "velmora.omit.__pyx_unpickle_Omitter",                  kStringSource, 5)  \
    X(OmitterUnpickleRaise,    "velmora.omit.__pyx_unpickle_Omitter",                  kStringSource, 6)  \
    X(OmitterUnpickleNew,      "velmora.omit.__pyx_unpickle_Omitter",                  kStringSource, 7)  \
    X(OmitterUnpickleState,    "velmora.omit.__pyx_unpickle_Omitter",                  kStringSource, 9)  \
    X(OmitterRestoreItem,      "velmora.omit.__pyx_unpickle_Omitter__set_state",       kStringSource, 12) \
    X(OmitterRestoreUpdate,    "velmora.omit.__pyx_unpickle_Omitter__set_state",       kStringSource, 14) \
    X(NoTrustReduceState,      "velmora.omit.NoTrustOmitter.__reduce_cython__",        kStringSource, 5)  \
    X(NoTrustReduceDict,       "velmora.omit.NoTrustOmitter.__reduce_cython__",        kStringSource, 6)  \
    X(NoTrustReduceJoin,       "velmora.omit.NoTrustOmitter.__reduce_cython__",        kStringSource, 8)  \
    X(NoTrustReduceSeparate,   "velmora.omit.NoTrustOmitter.__reduce_cython__",        kStringSource, 13) \
    X(NoTrustReduceInline,     "velmora.omit.NoTrustOmitter.__reduce_cython__",        kStringSource, 15) \
    X(NoTrustSetstateBinding,  "velmora.omit.NoTrustOmitter.__setstate_cython__",      kStringSource, 16) \
    X(NoTrustSetstateState,    "velmora.omit.NoTrustOmitter.__setstate_cython__",      kStringSource, 17) \
    X(NoTrustUnpickleArgs,     "velmora.omit.__pyx_unpickle_NoTrustOmitter",           kStringSource, 1)  \
    X(NoTrustUnpickleAccept,   "velmora.omit.__pyx_unpickle_NoTrustOmitter",           kStringSource, 4)  \
    X(NoTrustUnpickleImport,   "velmora.omit.__pyx_unpickle_NoTrustOmitter",           kStringSource, 5)  \
    X(NoTrustUnpickleRaise,    "velmora.omit.__pyx_unpickle_NoTrustOmitter",           kStringSource, 6)  \
    X(NoTrustUnpickleNew,      "velmora.omit.__pyx_unpickle_NoTrustOmitter",           kStringSource, 7)  \
    X(NoTrustUnpickleState,    "velmora.omit.__pyx_unpickle_NoTrustOmitter",           kStringSource, 9)  \
    X(NoTrustRestoreItem,      "velmora.omit.__pyx_unpickle_NoTrustOmitter__set_state", kStringSource, 12) \
    X(NoTrustRestoreUpdate,    "velmora.omit.__pyx_unpickle_NoTrustOmitter__set_state", kStringSource, 14) \
    X(Init,                    "init velmora.omit",                                    kSourceFile, 1)  \
    X(InitOmissions,           "init velmora.omit",                                    kSourceFile, 3)  \
    X(InitTrusted,             "init velmora.omit",                                    kSourceFile, 4)  \
    X(InitHide,                "init velmora.omit",                                    kSourceFile, 8)  \
    X(InitGloballyHidden,      "init velmora.omit",                                    kSourceFile, 13) \
    X(InitAlwaysOmit,          "init velmora.omit",                                    kSourceFile, 16) \
    X(InitGloballyTrusted,     "init velmora.omit",                                    kSourceFile, 20) \
    X(InitAlwaysTrust,         "init velmora.omit",                                    kSourceFile, 23) \
    X(InitResetOmissions,      "init velmora.omit",                                    kSourceFile, 27) \
    X(InitResetTrusted,        "init velmora.omit",                                    kSourceFile, 31) \
    X(InitOmit,                "init velmora.omit",                                    kSourceFile, 46) \
    X(InitOmitRecurse,         "init velmora.omit",                                    kSourceFile, 62) \
    X(InitPickling,            "init velmora.omit",                                    kStringSource, 1)  \
    X(InitSetstate,            "init velmora.omit",                                    kStringSource, 16)
// clang-format on

enum class Site : uint8_t {
#define VELMORA_SITE_NAME(name, qualname, file, line) name,
    VELMORA_SITES(VELMORA_SITE_NAME)
#undef VELMORA_SITE_NAME
    Count
};

struct SiteInfo {
    const char* qualname;
    const char* file;
    int line;
};

inline constexpr SiteInfo kSites[] = {
#define VELMORA_SITE_INFO(name, qualname, file, line) {qualname, file, line},
    VELMORA_SITES(VELMORA_SITE_INFO)
#undef VELMORA_SITE_INFO
};
static_assert(sizeof(kSites) / sizeof(kSites[0]) == static_cast<size_t>(Site::Count));

constexpr const SiteInfo& info(Site site) { return kSites[static_cast<size_t>(site)]; }

}  // namespace velmora

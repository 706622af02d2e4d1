// The descriptor tables of the four control-service operations the system calls, shared by
// every proxy.
#include <cstddef>
#include <string_view>

#include "webservice/VLTControl.h"

namespace {

using SRS = VLTControl_StartRemoteSessionPTZ_params;
using CMD = VLTControl_PtzCommand_params;
using MENU = VLTControl_PtzMenuCommand_params;
using QF = VLTControl_PtzQueryFunctions_params;

constexpr unsigned kNullableIn = SOAPFLAG_IN | SOAPFLAG_NULLABLE;

constexpr SoapMapEntry kStartRemoteSessionPTZEntries[] = {
    {"name", u"name", SoapXsdType::String, kNullableIn, offsetof(SRS, name)},
    {"ipv4addr", u"ipv4addr", SoapXsdType::UnsignedInt, SOAPFLAG_OUT, offsetof(SRS, ipv4addr)},
    {"port", u"port", SoapXsdType::UnsignedShort, SOAPFLAG_OUT, offsetof(SRS, port)},
};
constexpr SoapMapEntry kPtzCommandEntries[] = {
    {"name", u"name", SoapXsdType::String, kNullableIn, offsetof(CMD, name)},
    {"cmd", u"cmd", SoapXsdType::Int, SOAPFLAG_IN, offsetof(CMD, cmd)},
    {"arg", u"arg", SoapXsdType::Int, SOAPFLAG_IN, offsetof(CMD, arg)},
};
constexpr SoapMapEntry kPtzMenuCommandEntries[] = {
    {"name", u"name", SoapXsdType::String, kNullableIn, offsetof(MENU, name)},
    {"cmd", u"cmd", SoapXsdType::Int, SOAPFLAG_IN, offsetof(MENU, cmd)},
};
constexpr SoapMapEntry kPtzQueryFunctionsEntries[] = {
    {"name", u"name", SoapXsdType::String, kNullableIn, offsetof(QF, name)},
    {"func", u"func", SoapXsdType::UnsignedInt, SOAPFLAG_OUT, offsetof(QF, func)},
    {"presetCount", u"presetCount", SoapXsdType::UnsignedInt, SOAPFLAG_OUT,
     offsetof(QF, presetCount)},
};

const SoapFunctionMap kHeaderMaps[] = {
    {"StartRemoteSessionPTZ",
     k47::vlt::kServiceNamespace,
     SOAPFLAG_DOCUMENT_LITERAL_WRAPPED,
     0,
     0,
     {}},
    {"PtzCommand", k47::vlt::kServiceNamespace, SOAPFLAG_DOCUMENT_LITERAL_WRAPPED, 0, 0, {}},
    {"PtzMenuCommand", k47::vlt::kServiceNamespace, SOAPFLAG_DOCUMENT_LITERAL_WRAPPED, 0, 0, {}},
    {"PtzQueryFunctions", k47::vlt::kServiceNamespace, SOAPFLAG_DOCUMENT_LITERAL_WRAPPED, 0, 0, {}},
};

}  // namespace

const SoapFunctionMap kVLTControl_StartRemoteSessionPTZ_map = {"StartRemoteSessionPTZ",
                                                               k47::vlt::kServiceNamespace,
                                                               SOAPFLAG_DOCUMENT_LITERAL_WRAPPED,
                                                               sizeof(SRS),
                                                               2,
                                                               kStartRemoteSessionPTZEntries};
const SoapFunctionMap kVLTControl_PtzCommand_map = {"PtzCommand",
                                                    k47::vlt::kServiceNamespace,
                                                    SOAPFLAG_DOCUMENT_LITERAL_WRAPPED,
                                                    sizeof(CMD),
                                                    0,
                                                    kPtzCommandEntries};
const SoapFunctionMap kVLTControl_PtzMenuCommand_map = {"PtzMenuCommand",
                                                        k47::vlt::kServiceNamespace,
                                                        SOAPFLAG_DOCUMENT_LITERAL_WRAPPED,
                                                        sizeof(MENU),
                                                        0,
                                                        kPtzMenuCommandEntries};
const SoapFunctionMap kVLTControl_PtzQueryFunctions_map = {"PtzQueryFunctions",
                                                           k47::vlt::kServiceNamespace,
                                                           SOAPFLAG_DOCUMENT_LITERAL_WRAPPED,
                                                           sizeof(QF),
                                                           2,
                                                           kPtzQueryFunctionsEntries};

const SoapFunctionMap* VLTControlHeaderMap(const SoapFunctionMap* operation) {
    if (operation == nullptr)
        return nullptr;
    for (const SoapFunctionMap& map : kHeaderMaps)
        if (std::string_view(map.name) == operation->name)
            return &map;
    return nullptr;
}

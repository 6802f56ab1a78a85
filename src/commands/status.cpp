// The controller's status byte of a reply, turned into the host's error code.
#include "commands/status.h"

#include "link/pccc.h"
#include "platform/wide.h"
#include "setup/portkit.h"

namespace mira {

int32_t CheckReplyStatus(const uint8_t* sts) {
    const uint8_t status = sts[0];
    // EXT STS (or the secondary status) sits right after the TNS, three
    // bytes on from STS.
    const uint8_t extended = sts[3];
    if (status == pccc::kStsOk) return 0;
    if (status == pccc::kStsExtended) return extended;

    char16_t line[65];
    if (status == 0x0B || status == 0x1A || status == 0x1B)
        wide::swprintf(line, 65, u"STS Error Code returned: 0x%X, Status Code: 0x%X", unsigned(status),
                       unsigned(extended));
    else
        wide::swprintf(line, 65, u"STS Error Code returned: 0x%X", unsigned(status));
    PkTrace(line);
    return MIRA_ERR_CONTROLLER_STATUS;
}

int32_t CheckMessageStatus(const uint8_t* message, int32_t length) {
    constexpr int32_t kStsAt = 3, kExtStsAt = 6;
    if (message == nullptr || length <= kStsAt) return MIRA_ERR_CONTROLLER_STATUS;
    if (message[kStsAt] == pccc::kStsExtended && length <= kExtStsAt) {
        PkTrace(u"STS Error Code returned: 0xF0");
        return MIRA_ERR_CONTROLLER_STATUS;
    }
    const uint8_t sts[4] = {message[kStsAt], 0, 0, length > kExtStsAt ? message[kExtStsAt] : uint8_t{0}};
    return CheckReplyStatus(sts);
}

int32_t ShortReply(int32_t carried, int32_t asked, uint8_t sts) {
    char16_t line[65];
    wide::swprintf(line, 65, u"Reply carries %d of the %d data bytes asked for, STS 0x%X", int(carried < 0 ? 0 : carried),
                   int(asked), unsigned(sts));
    PkTrace(line);
    return MIRA_ERR_CONTROLLER_STATUS;
}

}  // namespace mira

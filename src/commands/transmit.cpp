// The send sequence every start uses, and the synchronous string-file read.
#include "address/tables.h"
#include "commands/request.h"
#include "commands/status.h"
#include "link/channel.h"
#include "link/frame.h"
#include "link/receive.h"
#include "platform/atomic_word.h"
#include "platform/clock.h"
#include "setup/driver_state.h"
#include "setup/portkit.h"

namespace mira {
namespace {

// Frames a message and sends it under the channel lock. `stringRead` also
// resets the port words Portkit supervises a string read with.
int32_t SendFramed(const uint8_t* message, int32_t length, bool stringRead) {
    generic_port* port = Driver.Port;
    if (port == nullptr) return MIRA_ERR_CONTROLLER_STATUS;
    if (length < 0) length = 0;
    if (length > kMaxRequestBytes) length = kMaxRequestBytes;
    uint8_t frame[kMaxFrameBytes];
    int32_t frameLength = 0;
    EncodeDriverFrame(message, length, frame, &frameLength);

    TakeChannel();
    NoteSentMessage(message, length, true);
    Store(port->ReplyPending, 0);
    ResetReceiver(port);
    if (stringRead) {
        Store(port->StringWord0, 0);
        Store(port->StringWord1, 0);
        Store(port->StringWord2, 0);
        Store(port->SendTick, GetTickCount());
    }
    PkSend(port, frame, frameLength);
    Store(port->ReplyPending, 1);
    return static_cast<int32_t>(Load(port->ErrorCode));
}

}  // namespace

int32_t TransmitRequest(const uint8_t* message, int32_t length) { return SendFramed(message, length, false); }

int32_t ReadStringItems(PlcAddress* header, const ItemRequest* items, int32_t count) {
    // One slot per item: a group of more strings than slots cannot be held.
    if (count > kStringSlotCount) return MIRA_ERR_RANGE;
    if (Driver.StringSlots == nullptr || Driver.Port == nullptr) return MIRA_ERR_CONTROLLER_STATUS;
    const bool plc5 = Driver.Plc5Family == 1;
    const int32_t base = header->elementBase < 0 ? 0 : header->elementBase;

    for (int32_t i = 0; i < count; ++i) {
        const ItemRequest& item = items[i];
        if (item.kind != kKindString) return MIRA_ERR_BAD_MNEMONIC;
        header->elementCount = item.size;
        const int32_t element = item.element + base;

        uint8_t message[kMaxRequestBytes];
        int32_t length;
        if (Driver.ModelClass == kClassSlc500) {
            // The string's length word comes first, then its characters in
            // whole words.
            const int32_t bytes = (item.size + 1) / 2 * 2 + 2;
            length = BuildSlcRead(message, header, element, bytes);
        } else if (plc5) {
            length = BuildPlc5Read(message, *header, element, 1);
        } else {
            length = BuildPlc2Read(message, *header, element, item.size);
        }
        if (length < 0) return length;

        (void)SendFramed(message, length, true);
        int32_t error = 0;
        do {
            Sleep(100);
        } while (PollReply(&error) == 0);
        if (error != 0) return MIRA_ERR_CONTROLLER_STATUS;
        uint8_t reply[kRxDataBytes];
        const int32_t received = CopyReply(0, ReplyLength(), reply);
        // A refusal is as short as a reply header: its status decides first,
        // with the code a word read of the same answer gets (EXT STS itself).
        if (const int32_t status = CheckMessageStatus(reply, received); status != 0) return status;
        if (received < 8) return ShortReply(received - 6, 2, reply[3]);

        // The length byte is the length of the controller's whole string,
        // which may be longer than the characters the request asked for:
        // those are what the reply carries and what the item shows. Bound
        // by the slot too (two bytes stay for the pad and the terminator),
        // and by what the reply really carried below.
        int32_t l = plc5 ? reply[7] : reply[6];
        if (l > item.size) l = item.size;
        if (l > kStringSlotBytes - 2) l = kStringSlotBytes - 2;
        const int32_t copy = (l % 2 == 1) ? l + 1 : l;
        if (8 + copy > received) return ShortReply(received - 6, 2 + copy, reply[3]);

        uint8_t* slot = Driver.StringSlots + kStringSlotBytes * i;
        for (int32_t b = 0; b < copy; ++b) slot[b] = reply[8 + b];
        if (l % 2 == 1) {
            if (plc5) {
                slot[l] = 0;
            } else {
                // The last word holds one character and a pad byte.
                slot[l - 1] = 0;
                slot[l + 1] = 0;
            }
        } else {
            slot[l] = 0;
            slot[l + 1] = 0;
        }
        PkStringStep(Driver.Port);
        Sleep(10);
    }
    return 0;
}

}  // namespace mira

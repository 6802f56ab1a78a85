// HandInts: the byte-by-byte DF1 receive machine. Portkit calls it once per
// received byte from its own thread, so every word shared with the host
// thread goes through the atomic helpers; the awaited reply is copied out of
// RxData into ReplyData before ReplyReady is published, and a slot is filled
// before its InUse is. The
// channel is freed with release, so a sender that takes it next also sees the
// ReplyReady put back after the acknowledgement, and its own send's clearing
// of ReplyReady cannot be overtaken by that late write.
#include "link/receive.h"

#include <cstring>

#include "link/frame.h"
#include "link/pccc.h"
#include "mira/portkit_codes.h"
#include "platform/atomic_word.h"
#include "platform/wide.h"
#include "platform/window.h"
#include "setup/driver_state.h"

namespace mira {
namespace {

constexpr uint32_t kOverflowError = MIRA_PK_ERR_OVERFLOW;
constexpr uint32_t kReplyBit = pccc::kReplyBit;

// Names of the SLC file types a key text can carry, by type code 0x84..0x89.
constexpr const char16_t* kFileTypeNames[] = {u"status",  u"bit",     u"timer",
                                              u"counter", u"control", u"integer"};
constexpr uint8_t kFirstFileType = 0x84;
// A type code outside the table gets a name no header text can start with.
constexpr const char16_t* kUnknownFileType = u"unknown";

const char16_t* FileTypeName(uint8_t code) {
    const int index = code - kFirstFileType;
    if (index < 0 || index >= static_cast<int>(sizeof kFileTypeNames / sizeof kFileTypeNames[0]))
        return kUnknownFileType;
    return kFileTypeNames[index];
}

// A count of message bytes, bounded by RxData.
int32_t Bounded(uint32_t count) { return count > uint32_t(kRxDataBytes) ? kRxDataBytes : static_cast<int32_t>(count); }

// The message bytes of the frame in RxData.
int32_t FrameLength(const generic_port* port) { return Bounded(Load(const_cast<generic_port*>(port)->RxCount)); }

void PutRx(int32_t index, uint8_t value) {
    if (index >= 0 && index < kRxDataBytes) Store(Driver.RxData[index], value);
}

// Bytes of the current frame as Portkit received them. A position the frame
// has not reached reads as 0 rather than as a leftover of an older frame.
uint8_t RawByte(const generic_port* port, int32_t index) {
    const int32_t count = Load(const_cast<generic_port*>(port)->RawCount);
    if (port->RawBuffer == nullptr || index < 0 || index >= count) return 0;
    return port->RawBuffer[index];
}

// "Rx:" and "%02X " for each byte of the raw view, at most kTraceBytes.
void TraceReceived(generic_port* port) {
    static constexpr char16_t kHex[] = u"0123456789ABCDEF";
    char16_t line[3 + 3 * kTraceBytes + 1];
    int32_t w = 0;
    line[w++] = u'R';
    line[w++] = u'x';
    line[w++] = u':';
    int32_t count = Load(port->RawCount);
    if (port->RawBuffer == nullptr) count = 0;
    if (count > kTraceBytes) count = kTraceBytes;
    for (int32_t i = 0; i < count; ++i) {
        const uint8_t b = port->RawBuffer[i];
        line[w++] = kHex[b >> 4];
        line[w++] = kHex[b & 0x0F];
        line[w++] = u' ';
    }
    line[w] = 0;
    PkTrace(line);
}

void SendAck(generic_port* port) {
    static constexpr uint8_t kAck[] = {kDLE, kACK};
    PkSend(port, kAck, 2);
}

// The key text of the frame in the raw view; between the header part and the
// sender's station goes separator (a tab in a slot's key).
void FormatKeyText(const generic_port* port, char16_t* key, size_t capacity, const char16_t* separator) {
    const int32_t source = RawByte(port, 3);
    if (Load(Driver.ModelClass) == kClassSlc500) {
        const int32_t file = RawByte(port, 10);
        const int32_t element = RawByte(port, 12);
        const int32_t sub = RawByte(port, 13);
        const bool lowFile = file == 0 || file == 1;
        wide::swprintf(key, capacity, u"%s/%d:%d:%d%s%d", FileTypeName(RawByte(port, 11)),
                       lowFile ? element : sub, file, lowFile ? sub : element, separator, source);
    } else {
        const int32_t address = RawByte(port, 8) + 256 * RawByte(port, 9);
        wide::swprintf(key, capacity, u"U:%d%s%d", address, separator, source);
    }
}

// Tells the host's window of the frame just stored in slot. The message
// carries a copy of the key text of its own, which no later frame changes:
// the slot's text is cleared when its frame is consumed and written again by
// the next frame stored there, maybe before the host has read the message.
void PostStored(const UnsolSlot& slot) {
    const MiraWindowHandle window = Driver.NotifyWindow;
    const uint32_t next = Load(Driver.PostedKeyNext);
    char16_t* key = Driver.PostedKeys[next % kPostedKeyCount];
    std::memcpy(key, slot.KeyText, sizeof slot.KeyText);
    // Queued only: the host hears of the frame once HandInts is done with
    // this byte, after the DLE ACK. A window that cannot take the message
    // (its queue is full) leaves the frame stored under its key, and the
    // copy free for the next message.
    if (PostMessageW(window, kUnsolicitedMessage, 0, reinterpret_cast<intptr_t>(key)))
        Store(Driver.PostedKeyNext, next + 1);
    else if (window != 0)
        PkTrace(u"Window message not posted: the window's queue is full.");
}

// The answer to a controller's command that found every slot taken: its
// reply with STS 0x90, remote node cannot buffer command, so that the
// controller's message instruction fails and its logic can send it again,
// where an acknowledgement alone would have it believe the data delivered.
// Built into message (6 bytes) from the frame in RxData; false for a frame
// that is itself a reply, or too short to answer.
bool BuildRefusal(const generic_port* port, uint8_t* message) {
    if (FrameLength(port) < 6 || (RxByte(2) & kReplyBit) != 0) return false;
    message[0] = RxByte(1);
    message[1] = RxByte(0);
    message[2] = static_cast<uint8_t>(RxByte(2) | kReplyBit);
    message[3] = pccc::kStsCannotBuffer;
    message[4] = RxByte(4);
    message[5] = RxByte(5);
    return true;
}

// Stores a good frame that is not the awaited reply in the first free slot
// and tells the host's window. With every slot taken the frame is not kept:
// true when it is a command whose refusal (in refusal) is owed after the DLE
// ACK.
bool StoreUnsolicited(generic_port* port, uint8_t* refusal) {
    UnsolSlot* slots = Load(Driver.UnsolSlots);
    int32_t index = -1;
    for (int32_t i = 0; slots != nullptr && i < kUnsolSlotCount && index < 0; ++i)
        if (LoadAcquire(slots[i].InUse) == 0) index = i;
    if (index < 0) {
        // Before the open has made the table there is no one to refuse for.
        if (slots == nullptr || !BuildRefusal(port, refusal)) {
            PkTrace(u"Unsolicited frame dropped: no free slot.");
            return false;
        }
        char16_t line[40 + kKeyChars];
        char16_t key[kKeyChars];
        FormatKeyText(port, key, kKeyChars, u" from station ");
        wide::swprintf(line, sizeof line / sizeof line[0], u"No free slot: %s refused with STS 0x90.", key);
        PkTrace(line);
        return true;
    }
    UnsolSlot* slot = &slots[index];
    FormatKeyText(port, slot->KeyText, kKeyChars, u"\t");
    PkTrace(slot->KeyText);
    // The frame after DLE STX; the raw view never holds more than a slot in a
    // well-formed exchange, and anything beyond the slot is cut off.
    int32_t length = static_cast<int32_t>(Load(port->RawCount)) - 2;
    if (length < 0 || port->RawBuffer == nullptr) length = 0;
    if (length > static_cast<int32_t>(sizeof slot->FrameBytes)) length = sizeof slot->FrameBytes;
    if (length > 0) std::memcpy(slot->FrameBytes, port->RawBuffer + 2, static_cast<size_t>(length));
    slot->FrameLength = static_cast<uint32_t>(length);
    // Frames under one key are delivered oldest first, so that the host,
    // taking its messages in order, gets each frame with its own message.
    const uint32_t arrival = Load(Driver.UnsolArrivalNext);
    Store(Driver.UnsolArrival[index], arrival);
    Store(Driver.UnsolArrivalNext, arrival + 1);
    StoreRelease(slot->InUse, 1u);
    PostStored(*slot);
    return false;
}

// FNV-1a over the length and the message bytes; never 0, which marks an
// entry with no message.
template <class ByteAt>
uint32_t Fingerprint(int32_t length, ByteAt byteAt) {
    uint32_t h = 2166136261u;
    const auto mix = [&h](uint8_t b) { h = (h ^ b) * 16777619u; };
    const auto counted = static_cast<uint32_t>(length);
    for (int shift = 0; shift < 32; shift += 8) mix(static_cast<uint8_t>(counted >> shift));
    for (int32_t i = 0; i < length; ++i) mix(byteAt(i));
    return h != 0 ? h : 1;
}

// The frame just completed is one of the messages we sent last, handed back
// by the line.
bool IsOwnEcho(const generic_port* port) {
    const uint32_t print = Fingerprint(FrameLength(port), [](int32_t i) { return RxByte(i); });
    for (uint32_t& sent : Driver.SentPrints)
        if (LoadAcquire(sent) == print) return true;
    return false;
}

bool CheckPasses(uint8_t byte) {
    if (Driver.UseCrc != 0) {
        Driver.RxCrcHigh = byte;
        return Driver.RxCrcLow == (Driver.RxCrc & 0xFFu) && Driver.RxCrcHigh == (Driver.RxCrc >> 8);
    }
    Driver.RxBcc = (0u - Driver.RxBcc) & 0xFFu;
    return byte == Driver.RxBcc;
}

void AddToCheck(uint8_t byte) {
    if (Driver.UseCrc != 0)
        CrcStep(&Driver.RxCrc, byte);
    else
        Driver.RxBcc += byte;
}

void AppendMessageByte(generic_port* port, uint8_t byte) {
    const uint32_t count = Load(port->RxCount);
    PutRx(static_cast<int32_t>(count), byte);
    Store(port->RxCount, count + 1);
    AddToCheck(byte);
}

void OnIdle(generic_port* port, uint8_t byte) {
    Driver.RxCrc = 0;
    Driver.RxBcc = 0;
    if (byte != kDLE) return;
    Store(port->RxState, StDle);
    uint32_t expected = 0;
    // An incoming frame takes the channel only when it is free.
    std::atomic_ref<uint32_t>(Driver.ChannelBusy).compare_exchange_strong(expected, 2u);
}

void OnDle(generic_port* port, uint8_t byte) {
    if (byte == kSTX) {
        Store(port->RxState, StData);
        Store(port->RxCount, 0u);
        for (int32_t i = 0; i < kRxDataBytes; ++i) Store(Driver.RxData[i], uint8_t{0});
        Driver.RxBcc = 0;
        Driver.RxCrc = 0;
        return;
    }
    TraceReceived(port);
    Store(port->RxState, StIdle);
    Store(port->RawCount, 0);
    // A sender keeps the channel across the peer's answer to its command.
    const bool senderKeeps = Load(Driver.ChannelBusy) == 1 && (byte == kACK || byte == kNAK);
    if (!senderKeeps) StoreRelease(Driver.ChannelBusy, 0u);
    if (byte == kACK) {
        Driver.RxBcc = 0;
        Driver.RxCrc = 0;
    }
    if (byte == kENQ) SendAck(port);
}

void OnDataDle(generic_port* port, uint8_t byte) {
    if (byte == kETX) {
        if (Driver.UseCrc != 0) {
            CrcStep(&Driver.RxCrc, kETX);
            Store(port->RxState, StCrcFirst);
        } else {
            Store(port->RxState, StCheck);
        }
    } else if (byte == kDLE) {
        Store(port->RxState, StData);
        // The raw view keeps one DLE of the pair.
        const uint16_t raw = Load(port->RawCount);
        if (raw > 0) Store(port->RawCount, static_cast<uint16_t>(raw - 1));
        AppendMessageByte(port, kDLE);
    } else {
        TraceReceived(port);
        StoreRelease(Driver.ChannelBusy, 0u);
        Store(port->RxState, StIdle);
        Store(port->RawCount, 0);
        PkTrace(u"ERROR OF PROTOCOL.");
    }
}

// Copies the awaited reply out of RxData, where the next frame would
// overwrite it: a controller may send a command of its own right after its
// reply, before the sender has read the reply. Only the first copy for a
// request is made; a repeat of that reply leaves alone the copy the sender
// may be reading.
void KeepReply(generic_port* port, uint32_t counter) {
    if (LoadAcquire(Driver.ReplyFor) == counter) return;
    const int32_t count = FrameLength(port);
    for (int32_t i = 0; i < count; ++i) Driver.ReplyData[i] = Load(Driver.RxData[i]);
    Store(Driver.ReplyCount, static_cast<uint32_t>(count));
    StoreRelease(Driver.ReplyFor, counter);
}

// A frame whose check passed: our own echo, the awaited reply, or a frame
// to store as unsolicited. True when a refusal is owed (see StoreUnsolicited).
bool HandOn(generic_port* port, uint8_t* refusal) {
    const bool senderWaits = Load(Driver.ChannelBusy) == 1;
    if (IsOwnEcho(port)) {
        PkTrace(u"Own frame echoed by the line: dropped.");
        // A waiting sender keeps the channel for the controller's reply.
        if (senderWaits) Store(Driver.ForeignFrameSeen, 1u);
        return false;
    }
    if (senderWaits) {
        // The awaited reply answers our last request: its TNS, and its
        // command byte with the reply bit, so that a command of the
        // controller's that happens to carry our TNS stays a command. Our
        // TNS is the counter's low byte with a high byte of 0; a reply is
        // taken with it in either byte order, but whole: one byte alone
        // matched the late repeat of the reply to TNS 0x00FF for a request
        // of TNS 0x0000 (its high byte), and every 256th read decoded it.
        const uint32_t counter = LoadAcquire(Driver.TnsCounter);
        const uint8_t tns = static_cast<uint8_t>(counter - 1u);
        const bool answersRequest = Load(Driver.RxData[2]) == (Load(Driver.RequestCommand) | kReplyBit);
        const uint8_t low = Load(Driver.RxData[4]), high = Load(Driver.RxData[5]);
        if (answersRequest && ((low == tns && high == 0) || (low == 0 && high == tns))) {
            KeepReply(port, counter);
            StoreRelease(port->ReplyReady, 1u);
            return false;
        }
        Store(Driver.ForeignFrameSeen, 1u);
    }
    return StoreUnsolicited(port, refusal);
}

// Sends the refusal as the answers to stored commands go: framed, without
// the channel, remembered in case the line echoes it.
void SendRefusal(generic_port* port, const uint8_t* message) {
    uint8_t frame[FrameCapacity(6)];
    int32_t length = 0;
    EncodeDriverFrame(message, 6, frame, &length);
    NoteSentMessage(message, 6, false);
    PkSend(port, frame, length);
}

void OnCheck(generic_port* port, uint8_t byte) {
    TraceReceived(port);
    uint8_t refusal[6];
    const bool refuse = CheckPasses(byte) && HandOn(port, refusal);
    // Every complete frame is acknowledged, and a refused command then gets
    // its reply; a send clears ReplyReady, which the waiting sender still has
    // to see.
    const uint32_t ready = LoadAcquire(port->ReplyReady);
    const uint32_t counter = LoadAcquire(Driver.TnsCounter);
    SendAck(port);
    if (refuse) SendRefusal(port, refusal);
    // Not put back once a sender has begun its next request meanwhile: its
    // send cleared ReplyReady for a reply still to come.
    if (Load(Driver.TnsCounter) == counter) StoreRelease(port->ReplyReady, ready);

    const bool senderWaits = Load(Driver.ChannelBusy) == 1 && Load(Driver.ForeignFrameSeen) == 1;
    if (!senderWaits) StoreRelease(Driver.ChannelBusy, 0u);
    Store(port->RxState, StIdle);
    Store(port->RawCount, 0);
    Store(Driver.ForeignFrameSeen, 0u);
}

// One received byte through the machine.
void TakeByte(generic_port* port, uint8_t byte) {
    if (Load(port->RxCount) >= static_cast<uint32_t>(kRxDataBytes)) {
        Store(port->ErrorCode, kOverflowError);
        return;
    }
    switch (Load(port->RxState)) {
        case StIdle: OnIdle(port, byte); break;
        case StDle: OnDle(port, byte); break;
        case StData:
            if (byte == kDLE)
                Store(port->RxState, StDataDle);
            else
                AppendMessageByte(port, byte);
            break;
        case StDataDle: OnDataDle(port, byte); break;
        case StCrcFirst:
            Driver.RxCrcLow = byte;
            Store(port->RxState, StCheck);
            break;
        case StCheck: OnCheck(port, byte); break;
        default: break;  // a state outside the machine: the byte is dropped
    }
}

}  // namespace

uint8_t RxByte(int32_t index) {
    if (index < 0 || index >= kRxDataBytes) return 0;
    return Load(Driver.RxData[index]);
}

int32_t CopyReply(int32_t first, int32_t count, uint8_t* out) {
    const int32_t length = ReplyLength();
    if (first < 0 || count <= 0 || first >= length) return 0;
    if (count > length - first) count = length - first;
    std::memcpy(out, Driver.ReplyData + first, static_cast<size_t>(count));
    return count;
}

int32_t ReplyLength() { return Bounded(Load(Driver.ReplyCount)); }

bool ReplyIsCurrent() { return LoadAcquire(Driver.ReplyFor) == Load(Driver.TnsCounter); }

void NoteSentMessage(const uint8_t* message, int32_t length, bool request) {
    if (length < 0) length = 0;
    if (request) Store(Driver.RequestCommand, length > 2 ? message[2] : 0u);
    // The receive thread notes its refusals while the host thread notes its
    // sends: each takes an entry of its own.
    const uint32_t next = std::atomic_ref<uint32_t>(Driver.SentPrintNext).fetch_add(1, std::memory_order_relaxed);
    const uint32_t print = Fingerprint(length, [message](int32_t i) { return message[i]; });
    StoreRelease(Driver.SentPrints[next % kSentPrintCount], print);
}

void ResetReceiver(generic_port* port) {
    if (port == nullptr) return;
    Store(port->RxState, StIdle);
    Store(port->RxCount, 0u);
}

void ReceiveWaitingByte(generic_port* port) {
    uint8_t byte = 0;
    if (PkReceiveByte(port, &byte) == 0) return;
    TakeByte(port, byte);
    // What this byte posted reaches the host's window only now, after its
    // DLE ACK went out, as a posted message waits in the window's queue.
    ReleasePostedMessages();
}

}  // namespace mira

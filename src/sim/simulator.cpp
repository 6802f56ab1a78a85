#include "sim/simulator.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <mutex>

#include "sim/link.h"
#include "sim/pccc.h"
#include "sim/tables.h"

namespace mira::sim {
namespace {

struct OutByte {
    uint8_t value;
    uint64_t dueUs;
};

// A message of the controller's waiting for its turn on the line.
struct Pending {
    std::vector<uint8_t> message;
    uint64_t dueUs = 0;
    bool corruptCheck = false;
    bool dropByte = false;
    std::vector<uint8_t> noise;
    bool own = false;  // a command of the controller's own, not a reply
};

struct ActiveFault {
    Fault fault;
    uint32_t seen = 0;
    uint32_t used = 0;
};

DataTables MakeTables(const Options& o) {
    const bool plc5 = o.family == Family::Plc5;
    DataTables t(plc5 ? 5 : 3, o.ioWordsPerSlot, plc5);
    if (o.family == Family::Plc2) {
        (void)t.AddFile({"N", kCompatFile, 4096});
        t.NameWordsU(kCompatFile);
    } else {
        const uint32_t ioElements = plc5 ? 256 : 32;
        const FileShape standard[] = {
            {"O", 0, ioElements}, {"I", 1, ioElements}, {"S", 2, 164}, {"B", 3, 256}, {"T", 4, 256},
            {"C", 5, 256},        {"R", 6, 256},        {"N", 7, 1000}, {"F", 8, 256},
        };
        for (const FileShape& s : standard) (void)t.AddFile(s);
    }
    for (const ExtraFile& e : o.extraFiles) (void)t.AddFile({e.letters, e.number, e.elements});
    return t;
}

constexpr size_t kMaxOwnWords = 120;

void PutWords(std::vector<uint8_t>* m, const std::vector<uint16_t>& words) {
    for (size_t i = 0; i < words.size() && i < kMaxOwnWords; ++i) {
        m->push_back(static_cast<uint8_t>(words[i] & 0xFF));
        m->push_back(static_cast<uint8_t>(words[i] >> 8));
    }
}

void PutNumber(std::vector<uint8_t>* m, uint16_t v) {
    if (v < 0xFF) {
        m->push_back(static_cast<uint8_t>(v));
        return;
    }
    m->push_back(0xFF);
    m->push_back(static_cast<uint8_t>(v & 0xFF));
    m->push_back(static_cast<uint8_t>(v >> 8));
}

// The data of a PLC-2 style write (CMD 0x08) and of a protected typed
// logical write with three address fields (CMD 0x0F, function 0xAA).
void PutPlc2Write(std::vector<uint8_t>* m, uint16_t byteAddress, const std::vector<uint16_t>& words) {
    m->push_back(static_cast<uint8_t>(byteAddress & 0xFF));
    m->push_back(static_cast<uint8_t>(byteAddress >> 8));
    PutWords(m, words);
}

void PutTypedWrite(std::vector<uint8_t>* m, uint16_t file, uint8_t typeCode, uint16_t element, uint16_t subElement,
                   const std::vector<uint16_t>& words) {
    m->push_back(0xAA);
    m->push_back(static_cast<uint8_t>(std::min(words.size(), kMaxOwnWords) * 2));
    PutNumber(m, file);
    m->push_back(typeCode);
    PutNumber(m, element);
    PutNumber(m, subElement);
    PutWords(m, words);
}


}  // namespace

struct Simulator::Impl {
    explicit Impl(const Options& o)
        : options(o), tables(MakeTables(o)), controller(o.family, o.station, &tables), rx(o.crc) {}

    uint64_t Now() const {
        if (options.clockUs) return options.clockUs();
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
    }

    // Puts bytes on the line behind what is already there, paced when a
    // baud rate is set.
    void Commit(const uint8_t* bytes, size_t count, uint64_t now) {
        for (size_t i = 0; i < count; ++i) line.push_back({bytes[i], pacer.Next(now)});
    }

    void SendControl(uint8_t symbol, uint64_t now) {
        const uint8_t seq[2] = {kDle, symbol};
        Commit(seq, 2, now);
        if (symbol == kAck) ++stats.acksSent;
        if (symbol == kNak) ++stats.naksSent;
    }

    uint64_t AckDeadline(uint64_t now) const {
        uint64_t t = now + static_cast<uint64_t>(options.ackTimeoutMs) * 1000;
        if (!line.empty() && line.back().dueUs > now) t += line.back().dueUs - now;
        return t;
    }

    void Transmit(uint64_t now, bool first) {
        std::vector<uint8_t> frame;
        EncodeFrame(active.message.data(), active.message.size(), options.crc, &frame);
        if (first) {
            if (!active.noise.empty()) Commit(active.noise.data(), active.noise.size(), now);
            if (active.corruptCheck) frame.back() = static_cast<uint8_t>(frame.back() ^ 0x5A);
            if (active.dropByte && frame.size() > 4) frame.erase(frame.begin() + static_cast<long>(frame.size() / 2));
        } else {
            ++stats.retransmissions;
        }
        Commit(frame.data(), frame.size(), now);
        ++stats.framesSent;
        ackDeadlineUs = AckDeadline(now);
    }

    // Starts the next due message when the line's transmitter is free, and
    // runs the ACK time-out of the one in flight.
    void Pump(uint64_t now) {
        if (periodUs != 0 && now >= nextPeriodicUs) {
            std::vector<uint8_t> m = periodic;
            // A turn is skipped while a write of its own still waits for the
            // line (a master that does not acknowledge holds it up), so that
            // no backlog builds to go out in one burst.
            const bool waiting = std::any_of(queue.begin(), queue.end(), [](const Pending& p) { return p.own; });
            if (m.size() >= 6 && !waiting) {
                m[4] = static_cast<uint8_t>(ownTns & 0xFF);
                m[5] = static_cast<uint8_t>(ownTns >> 8);
                ++ownTns;
                queue.push_back({m, now, false, false, {}, true});
            }
            nextPeriodicUs = now + periodUs;
        }
        if (inFlight && now >= ackDeadlineUs) {
            if (enqsUsed < options.enqRetries) {
                ++enqsUsed;
                ++stats.enqsSent;
                const uint8_t seq[2] = {kDle, kEnq};
                Commit(seq, 2, now);
                ackDeadlineUs = AckDeadline(now);
            } else {
                ++stats.abandoned;
                inFlight = false;
            }
        }
        // Bounded: at most one message starts per call.
        if (!inFlight && !queue.empty() && queue.front().dueUs <= now) {
            active = std::move(queue.front());
            queue.pop_front();
            if (active.own) ++stats.ownCommands;
            inFlight = true;
            naksUsed = 0;
            enqsUsed = 0;
            Transmit(now, true);
        }
    }

    void OnMasterAck() {
        ++stats.acksReceived;
        inFlight = false;
    }

    void OnMasterNak(uint64_t now) {
        ++stats.naksReceived;
        if (!inFlight) return;
        if (naksUsed < options.nakRetries) {
            ++naksUsed;
            Transmit(now, false);
        } else {
            ++stats.abandoned;
            inFlight = false;
        }
    }

    void OnFrame(uint64_t now) {
        const std::vector<uint8_t>& m = rx.Message();
        ++stats.framesReceived;
        if (m.size() < 6) {  // too short to be a command: refused
            lastResponse = kNak;
            SendControl(kNak, now);
            return;
        }
        if (m[2] & 0x40) {  // the master's reply to one of our commands
            lastResponse = kAck;
            SendControl(kAck, now);
            if (m[3] == 0) {
                ++stats.masterReplies;
            } else {
                ++stats.masterRefusals;
                if (m[3] == kStsCannotBuffer) ++stats.cannotBuffer;
            }
            if (masterReplies.size() < 256) masterReplies.push_back(m);
            return;
        }
        // The faults that count this command.
        bool nak = false;
        bool noAck = false;
        bool noReply = false;
        bool repeat = false;
        bool ownAfter = false;
        bool statusFault = false;
        uint8_t sts = 0;
        uint8_t ext = 0;
        uint64_t delayUs = static_cast<uint64_t>(options.replyDelayMs) * 1000;
        Pending reply;
        for (ActiveFault& a : faults) {
            ++a.seen;
            const uint32_t every = a.fault.every == 0 ? 1 : a.fault.every;
            if (a.seen % every != 0) continue;
            if (a.fault.times != 0 && a.used >= a.fault.times) continue;
            ++a.used;
            switch (a.fault.kind) {
                case FaultKind::CorruptCheck: reply.corruptCheck = true; break;
                case FaultKind::DropByte: reply.dropByte = true; break;
                case FaultKind::Noise: reply.noise = a.fault.noise; break;
                case FaultKind::Delay: delayUs += static_cast<uint64_t>(a.fault.delayMs) * 1000; break;
                case FaultKind::NoReply: noReply = true; break;
                case FaultKind::Nak: nak = true; break;
                case FaultKind::NoAck: noAck = true; break;
                case FaultKind::RepeatReply: repeat = true; break;
                case FaultKind::OwnCommandAfter: ownAfter = true; break;
                case FaultKind::Status:
                    statusFault = true;
                    sts = a.fault.sts;
                    ext = a.fault.extSts;
                    break;
            }
        }
        if (nak) {
            lastResponse = kNak;
            SendControl(kNak, now);
            return;
        }
        lastResponse = kAck;
        if (!noAck) SendControl(kAck, now);
        if (m[0] != options.station && !options.anyStation) {
            ++stats.otherStation;
            return;
        }
        const bool same = haveLast && m[1] == lastSrc && m[2] == lastCmd && m[4] == lastTns[0] && m[5] == lastTns[1];
        if (options.duplicateDetection && same) {
            ++stats.duplicates;
            return;
        }
        haveLast = true;
        lastSrc = m[1];
        lastCmd = m[2];
        lastTns[0] = m[4];
        lastTns[1] = m[5];
        ++stats.commands;
        controller.Execute(m.data(), m.size(), &reply.message);
        if (reply.message.empty() || noReply) return;
        if (statusFault) {
            reply.message.resize(6);
            reply.message[3] = sts;
            if (sts == kStsExtended) reply.message.push_back(ext);
        }
        reply.dueUs = now + delayUs;
        if (queue.size() >= kMaxQueue) return;  // a master that never reads loses replies
        if (repeat) queue.push_back(reply);
        queue.push_back(std::move(reply));
        if (ownAfter) {
            // A write of N7:0 and N7:1 whose words no reply of ours carries.
            std::vector<uint8_t> own = OwnHeader(m[1], 0x0F);
            PutTypedWrite(&own, 7, 0x89, 0, 0, {0xBAD0, 0xBAD1});
            QueueOwn(std::move(own));
        }
    }

    void Feed(uint8_t b, uint64_t now) {
        switch (rx.Feed(b)) {
            case FrameReceiver::Event::None: break;
            case FrameReceiver::Event::Ack: OnMasterAck(); break;
            case FrameReceiver::Event::Nak: OnMasterNak(now); break;
            case FrameReceiver::Event::Enq:
                ++stats.enqsReceived;
                SendControl(lastResponse, now);
                break;
            case FrameReceiver::Event::Frame: OnFrame(now); break;
            case FrameReceiver::Event::BadCheck:
                ++stats.badChecks;
                lastResponse = kNak;
                SendControl(kNak, now);
                break;
            case FrameReceiver::Event::Garbled:
                ++stats.garbled;
                lastResponse = kNak;
                break;
            case FrameReceiver::Event::Overflow:
                ++stats.garbled;
                lastResponse = kNak;
                SendControl(kNak, now);
                break;
        }
    }

    void QueueOwn(std::vector<uint8_t> m) {
        if (m.size() < 6 || queue.size() >= kMaxQueue) return;
        queue.push_back({std::move(m), Now(), false, false, {}, true});
    }

    std::vector<uint8_t> OwnHeader(uint8_t dst, uint8_t cmd) {
        std::vector<uint8_t> m = {dst, options.station, cmd, 0, static_cast<uint8_t>(ownTns & 0xFF),
                                  static_cast<uint8_t>(ownTns >> 8)};
        ++ownTns;
        return m;
    }

    static constexpr size_t kMaxQueue = 64;
    static constexpr size_t kMaxLine = 1u << 20;

    Options options;
    DataTables tables;
    Controller controller;
    FrameReceiver rx;
    mutable std::mutex mutex;
    std::deque<OutByte> line;
    LinePacer pacer{options.baud, options.bitsPerByte != 0 ? options.bitsPerByte : 10};
    uint8_t lastResponse = kNak;
    std::deque<Pending> queue;
    Pending active;
    bool inFlight = false;
    uint32_t naksUsed = 0;
    uint32_t enqsUsed = 0;
    uint64_t ackDeadlineUs = 0;
    bool haveLast = false;
    uint8_t lastSrc = 0;
    uint8_t lastCmd = 0;
    uint8_t lastTns[2] = {0, 0};
    std::vector<ActiveFault> faults;
    Stats stats;
    uint16_t ownTns = 1;
    std::vector<uint8_t> periodic;
    uint64_t periodUs = 0;
    uint64_t nextPeriodicUs = 0;
    std::vector<std::vector<uint8_t>> masterReplies;
};

Simulator::Simulator(const Options& options) : impl_(std::make_unique<Impl>(options)) {}
Simulator::~Simulator() = default;

void Simulator::FromMaster(const uint8_t* bytes, size_t count) {
    if (bytes == nullptr) return;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const uint64_t now = impl_->Now();
    for (size_t i = 0; i < count; ++i) {
        impl_->Feed(bytes[i], now);
        // A master that sends without reading cannot grow the line forever.
        while (impl_->line.size() > Impl::kMaxLine) impl_->line.pop_front();
    }
    impl_->Pump(now);
}

size_t Simulator::ToMaster(uint8_t* out, size_t capacity) {
    if (out == nullptr) return 0;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const uint64_t now = impl_->Now();
    impl_->Pump(now);
    size_t n = 0;
    while (n < capacity && !impl_->line.empty() && impl_->line.front().dueUs <= now) {
        out[n++] = impl_->line.front().value;
        impl_->line.pop_front();
    }
    return n;
}

uint64_t Simulator::NextEventUs() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    uint64_t next = 0;
    const auto take = [&next](uint64_t at) { next = next == 0 ? at : std::min(next, at); };
    if (!impl_->line.empty()) take(impl_->line.front().dueUs);
    if (!impl_->inFlight && !impl_->queue.empty()) take(impl_->queue.front().dueUs);
    if (impl_->inFlight) take(impl_->ackDeadlineUs);
    if (impl_->periodUs != 0) take(impl_->nextPeriodicUs);
    return next;
}

void Simulator::SendUnsolicited(const std::vector<uint8_t>& message) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->QueueOwn(message);
}


void Simulator::SendUnsolicitedPlc2Write(uint8_t dst, uint16_t byteAddress, const std::vector<uint16_t>& words) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::vector<uint8_t> m = impl_->OwnHeader(dst, 0x08);
    PutPlc2Write(&m, byteAddress, words);
    impl_->QueueOwn(std::move(m));
}

void Simulator::SendUnsolicitedTypedWrite(uint8_t dst, uint16_t file, uint8_t typeCode, uint16_t element,
                                          uint16_t subElement, const std::vector<uint16_t>& words) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::vector<uint8_t> m = impl_->OwnHeader(dst, 0x0F);
    PutTypedWrite(&m, file, typeCode, element, subElement, words);
    impl_->QueueOwn(std::move(m));
}

bool Simulator::SetPeriodicWrite(uint8_t dst, const std::string& address, uint32_t offset,
                                 const std::vector<uint16_t>& words, uint32_t periodMs) {
    if (words.empty() || words.size() > kMaxOwnWords || periodMs == 0) return false;
    std::vector<uint8_t> m;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        // The TNS is filled in at each sending.
        m = {dst, impl_->options.station, 0x08, 0x00, 0x00, 0x00};
        if (impl_->options.family != Family::Slc500) {
            const bool u = address.size() > 2 && (address[0] == 'U' || address[0] == 'u') && address[1] == ':';
            uint32_t word = 0;
            for (size_t i = 2; u && i < address.size() && word <= 0xFFFF; ++i) {
                if (address[i] < '0' || address[i] > '9') return false;
                word = word * 10 + static_cast<uint32_t>(address[i] - '0');
            }
            const uint64_t last = uint64_t(word) + offset + words.size();
            if (!u || last > 0x8000) return false;  // byte addresses are 16 bits
            PutPlc2Write(&m, static_cast<uint16_t>((word + offset) * 2), words);
        } else {
            WordRef ref;
            if (!impl_->tables.Resolve(address, &ref) || ref.bit >= 0) return false;
            const size_t first = ref.word + offset;
            if (first + words.size() > ref.file->words.size()) return false;
            m[2] = 0x0F;
            const uint16_t per = ref.file->wordsPerElement;
            PutTypedWrite(&m, ref.file->number, ref.file->type, static_cast<uint16_t>(first / per),
                          static_cast<uint16_t>(first % per), words);
        }
    }
    SetPeriodicUnsolicited(m, periodMs);
    return true;
}

void Simulator::SetPeriodicUnsolicited(const std::vector<uint8_t>& message, uint32_t periodMs) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->periodic = message;
    impl_->periodUs = static_cast<uint64_t>(periodMs) * 1000;
    impl_->nextPeriodicUs = impl_->Now() + impl_->periodUs;
}

std::vector<std::vector<uint8_t>> Simulator::TakeMasterReplies() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::vector<std::vector<uint8_t>> out;
    out.swap(impl_->masterReplies);
    return out;
}

bool Simulator::Poke(const std::string& address, const std::string& value) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->tables.Poke(address, value);
}

bool Simulator::Peek(const std::string& address, std::string* value) const {
    if (value == nullptr) return false;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->tables.Peek(address, value);
}

int Simulator::Seed(const std::string& text, std::vector<SeedProblem>* problems) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->tables.Seed(text, problems);
}

std::string Simulator::Dump() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->tables.Dump();
}

void Simulator::InjectFault(const Fault& fault) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->faults.size() < 32) impl_->faults.push_back({fault, 0, 0});
}

void Simulator::ClearFaults() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->faults.clear();
}

Stats Simulator::GetStats() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->stats;
}

}  // namespace mira::sim

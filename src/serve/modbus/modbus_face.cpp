#include "serve/modbus/modbus_face.h"

#include <condition_variable>
#include <optional>

#include "serve/config.h"
#include "serve/listen.h"
#include "serve/log.h"

namespace mira::serve::modbus {
namespace {

constexpr const char* kRequests = "mira_modbus_requests_total";
constexpr const char* kClients = "mira_modbus_clients";

// The function's label: its code for the eight served, "other" for the rest,
// so that a client cannot grow the label set; "none" for a frame cut short.
std::string FunctionLabel(const uint8_t* adu, size_t size) {
    if (size <= kHeaderBytes) return "none";
    const uint8_t f = adu[kHeaderBytes];
    if ((f >= 1 && f <= 6) || f == 15 || f == 16) return std::to_string(f);
    return "other";
}

}  // namespace

FaceOptions OptionsOf(const nlohmann::json& settings, uint32_t lineTimeoutMs) {
    FaceOptions o;
    if (const auto listen = ParseListen(settings.value("listen", "127.0.0.1:1502"))) {
        o.server.host = listen->host;
        o.server.port = listen->port;
    }
    o.server.maxClients = settings.value("max_clients", size_t{8});
    o.unitId = settings.value("unit_id", uint8_t{255});
    o.order = ParseFloatOrder(settings.value("float_order", "ABCD")).value_or(FloatOrder::Abcd);
    // The transaction in progress, the write, the read back, and a second for
    // the queue ahead of it.
    o.writeWait = std::chrono::milliseconds(3 * int64_t{lineTimeoutMs} + 1000);
    return o;
}

ModbusFace::ModbusFace(TagStore& store, FaceOptions options)
    : store_(store),
      options_(std::move(options)),
      server_(options_.server,
              {[this](const uint8_t* adu, size_t size, const std::atomic<bool>& stopping) {
                   return Answer(adu, size, stopping);
               },
               [this](size_t clients) { store_.Metrics().Set(kClients, {}, static_cast<double>(clients)); }}) {
    FaceMetrics& m = store_.Metrics();
    m.Describe(kRequests, "Modbus requests by function code and result: ok, the exception answered, or dropped "
                          "unanswered with the connection.");
    m.Describe(kClients, "Modbus TCP clients connected.");
}

ModbusFace::~ModbusFace() { Stop(); }

bool ModbusFace::Start(std::string* why) {
    Rebuild();
    store_.Metrics().Set(kClients, {}, 0);
    if (!server_.Start(why)) {
        why->insert(0, "Modbus TCP: ");
        return false;
    }
    // The port bound, which a listen on port 0 learns only here.
    // Appended piece by piece: gcc 12 at -O3 misreads a literal joined in
    // front of a string as an overlapping copy (-Wrestrict).
    const std::string& host = options_.server.host;
    const bool v6 = host.find(':') != std::string::npos;
    std::string shown;
    if (v6) shown += '[';
    shown += host;
    if (v6) shown += ']';
    shown += ':';
    shown += std::to_string(server_.Port());
    Log(LogLevel::Notice, "Modbus TCP on " + shown);
    return true;
}

void ModbusFace::Stop() { server_.Stop(); }

void ModbusFace::Rebuild() {
    Image image(store_.Tags(), options_.order);
    for (const TagSnapshot& s : store_.All()) image.Take(s.index, s.value);
    std::lock_guard<std::mutex> lock(mutex_);
    image_ = std::move(image);
    ++generation_;
}

void ModbusFace::Changed(const Changes& changes) {
    if (changes.tagsReplaced) return Rebuild();
    for (size_t i : changes.tags) {
        const std::optional<TagSnapshot> s = store_.Get(i);
        if (!s) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        // Tags replaced since this change was noted: the next change says
        // so and rebuilds; until then the index may name another tag.
        if (i >= image_.tags().size()) continue;
        const TagInfo& known = image_.tags()[i];
        if (known.name != s->info.name || known.header != s->info.header || known.item != s->info.item ||
            known.station != s->info.station)
            continue;
        image_.Take(i, s->value);
    }
}

std::vector<uint8_t> ModbusFace::Answer(const uint8_t* adu, size_t size, const std::atomic<bool>& stopping) {
    Request request;
    uint8_t code = DecodeRequest(adu, size, options_.unitId, &request);
    std::vector<uint8_t> reply;
    if (code == kOk && !request.write) {
        std::vector<uint16_t> values;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            code = image_.Read(request, &values);
        }
        if (code == kOk) reply = ReadReply(request, values);
    } else if (code == kOk) {
        code = Write(request, stopping);
        if (code == kOk) reply = WriteReply(request);
    }
    if (code != kOk && code != kNoAnswer) reply = ExceptionReply(request.header, request.function, code);
    store_.Metrics().Add(kRequests, {{"function", FunctionLabel(adu, size)}, {"result", ResultName(code)}});
    return reply;
}

uint8_t ModbusFace::Write(const Request& request, const std::atomic<bool>& stopping) {
    std::vector<WriteStep> steps;
    uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (const uint8_t code = image_.PlanWrite(request, &steps); code != kOk) return code;
        generation = generation_;
    }
    for (const WriteStep& step : steps) {
        const WriteResult result = WriteOne(step, stopping);
        if (const uint8_t code = ExceptionOf(result); code != kOk) return code;
        // The value read back is in the store already; taking it here makes
        // the next read of this client see it without waiting for the change.
        std::lock_guard<std::mutex> lock(mutex_);
        if (generation == generation_) image_.Take(step.tag, result.readBack);
    }
    return kOk;
}

WriteResult ModbusFace::WriteOne(const WriteStep& step, const std::atomic<bool>& stopping) {
    struct Waiting {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<WriteResult> result;
    };
    // Shared with the callback, which may come after this wait gave up.
    auto waiting = std::make_shared<Waiting>();
    store_.Write(step.name, step.value, [waiting](const WriteResult& r) {
        {
            std::lock_guard<std::mutex> lock(waiting->mutex);
            waiting->result = r;
        }
        waiting->done.notify_all();
    });
    const auto deadline = std::chrono::steady_clock::now() + options_.writeWait;
    std::unique_lock<std::mutex> lock(waiting->mutex);
    while (!waiting->result) {
        const auto now = std::chrono::steady_clock::now();
        if (stopping.load() || now >= deadline)
            return {WriteOutcome::Failed, MIRA_PK_ERR_TIMEOUT, "no answer from the line in time", {}};
        // Woken by the answer; the slice only bounds how late a stop is seen.
        waiting->done.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(100)));
    }
    return *waiting->result;
}

}  // namespace mira::serve::modbus

#include "serve/metrics.h"

#include <cstdio>

namespace mira::serve {
namespace {

// {name="value",...} with the text format's escapes in the values; "" for none.
std::string LabelText(const FaceMetrics::Labels& labels) {
    if (labels.empty()) return "";
    std::string out = "{";
    for (const auto& [name, value] : labels) {
        if (out.size() > 1) out += ',';
        out += name + "=\"";
        for (char c : value) {
            if (c == '\\' || c == '"') out += '\\';
            out += c == '\n' ? std::string("\\n") : std::string(1, c);
        }
        out += '"';
    }
    return out + "}";
}

std::string Number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

}  // namespace

FaceMetrics::Family& FaceMetrics::FamilyLocked(const std::string& name, const char* type) {
    Family& f = families_[name];
    if (type != nullptr) f.type = type;
    return f;
}

void FaceMetrics::Describe(const std::string& name, const std::string& help) {
    std::lock_guard<std::mutex> lock(mutex_);
    FamilyLocked(name, nullptr).help = help;
}

void FaceMetrics::Add(const std::string& name, const Labels& labels, double delta) {
    std::lock_guard<std::mutex> lock(mutex_);
    FamilyLocked(name, "counter").samples[LabelText(labels)] += delta;
}

void FaceMetrics::Set(const std::string& name, const Labels& labels, double value) {
    std::lock_guard<std::mutex> lock(mutex_);
    FamilyLocked(name, "gauge").samples[LabelText(labels)] = value;
}

std::string FaceMetrics::Text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    for (const auto& [name, f] : families_) {
        if (f.samples.empty()) continue;
        if (!f.help.empty()) out += "# HELP " + name + " " + f.help + "\n";
        out += "# TYPE " + name + " " + f.type + "\n";
        for (const auto& [labels, value] : f.samples) out += name + labels + " " + Number(value) + "\n";
    }
    return out;
}

double FaceMetrics::Value(const std::string& name, const Labels& labels) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto f = families_.find(name);
    if (f == families_.end()) return 0;
    const auto s = f->second.samples.find(LabelText(labels));
    return s == f->second.samples.end() ? 0 : s->second;
}

}  // namespace mira::serve

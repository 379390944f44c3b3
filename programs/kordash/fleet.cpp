#include "fleet.h"

namespace kordash {
namespace {

template <class T>
nlohmann::json orNull(const std::optional<T>& v) {
    return v ? nlohmann::json(*v) : nlohmann::json(nullptr);
}

}  // namespace

Fleet::Fleet(const std::vector<ControllerEntry>& entries) {
    for (const ControllerEntry& e : entries) {
        dashboards_.push_back(std::make_unique<Dashboard>(e.options));
        names_.push_back(e.name.empty() ? dashboards_.back()->controller() : e.name);
        dashboards_.back()->onPublish([this] {
            std::lock_guard lock(mutex_);
            ++pulse_;
            pulsed_.notify_all();
        });
    }
}

bool Fleet::open(const std::string& streamHost, std::string* error) {
    for (std::size_t k = 0; k < dashboards_.size(); ++k)
        if (!dashboards_[k]->open(streamHost, error)) {
            if (dashboards_.size() > 1) *error = names_[k] + ": " + *error;
            return false;
        }
    return true;
}

void Fleet::start() {
    for (auto& d : dashboards_) d->start();
}

void Fleet::stop() {
    for (auto& d : dashboards_) d->stop();
    std::lock_guard lock(mutex_);
    stopping_ = true;
    pulsed_.notify_all();
}

bool Fleet::nextPulse(std::uint64_t seen, std::chrono::milliseconds wait, std::uint64_t* now) {
    std::unique_lock lock(mutex_);
    pulsed_.wait_for(lock, wait, [&] { return stopping_ || pulse_ > seen; });
    *now = pulse_;
    return !stopping_ && pulse_ > seen;
}

std::uint64_t Fleet::pulse() {
    std::lock_guard lock(mutex_);
    return pulse_;
}

std::vector<std::shared_ptr<Dashboard::Watch>> Fleet::watchAll(const std::string& address) {
    Interest rowOnly;
    rowOnly.overview = true;
    rowOnly.address = address;
    std::vector<std::shared_ptr<Dashboard::Watch>> watches;
    for (auto& d : dashboards_) {
        watches.push_back(d->watch(rowOnly));
        if (!watches.back()) return {};
    }
    return watches;
}

// With a few hundred controllers a row changes every few milliseconds: the
// text of the unchanged ones is kept rather than built again for every event.
std::string Fleet::overview(std::uint64_t* generation) {
    std::lock_guard lock(overviewMutex_);
    shown_.resize(dashboards_.size());
    rowText_.resize(dashboards_.size());
    bool changed = overviewText_.empty();
    for (std::size_t k = 0; k < dashboards_.size(); ++k) {
        Summary s = dashboards_[k]->summary();
        if (shown_[k] == s) continue;
        rowText_[k] = rowOf(k, s).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        shown_[k] = std::move(s);
        changed = true;
    }
    if (changed) {
        ++overviewGeneration_;
        overviewText_ = "{\"rows\":[";
        for (std::size_t k = 0; k < rowText_.size(); ++k)
            overviewText_.append(k ? "," : "").append(rowText_[k]);
        overviewText_ += "]}";
    }
    *generation = overviewGeneration_;
    return overviewText_;
}

nlohmann::json Fleet::rowOf(std::size_t k, const Summary& s) {
    return {{"index", k},
            {"name", names_[k]},
            {"controller", dashboards_[k]->controller()},
            {"link", s.link},
            {"error", s.error},
            {"channels", s.channels < 0 ? nlohmann::json(nullptr) : nlohmann::json(s.channels)},
            {"lastGood", s.lastGood},
            // From the controller's counters; null shows as "—".
            {"commandsPerMinute", orNull(s.commandsPerMinute)},
            {"failuresLastHour", orNull(s.failuresLastHour)},
            {"streamTicksMissed", orNull(s.streamTicksMissed)},
            {"refused", s.refused}};
}

// A scrape comes more often than most controllers' counters change: their
// text is kept, and only the whole is put together again. No lock is held
// while a text is rendered or joined (a scrape meanwhile uses the old parts).
std::string Fleet::metrics() {
    std::vector<std::shared_ptr<const MetricsPart>> parts;
    {
        std::lock_guard lock(metricsMutex_);
        metricsParts_.resize(dashboards_.size());
        parts = metricsParts_;
    }
    for (std::size_t k = 0; k < dashboards_.size(); ++k) {
        Dashboard& d = *dashboards_[k];
        NamedReading reading{names_[k], d.counters(), d.refused()};
        // A controller that sent what no controller sends is down, whatever it counted.
        if (d.misbehaving()) {
            reading.reading.ok = false;
            reading.reading.reason = "misbehaving";
        }
        parts[k] = metricsPart(std::move(reading), std::move(parts[k]));
    }
    {
        std::lock_guard lock(metricsMutex_);
        metricsParts_ = parts;
    }
    return metricsText(parts);
}

}  // namespace kordash

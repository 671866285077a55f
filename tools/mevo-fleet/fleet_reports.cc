#include "fleet_reports.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "app/application_mevo.h"
#include "app/frame_pipeline.h"
#include "common/json_text.h"
#include "count/cntdata.h"

namespace {
constexpr int SLOTS_PER_DAY = CNTDATA_DAY / CNTDATA_INTERVAL;
// Longest span of days the camera-sized ring holds without one day's slots taking another's
// (the camera's "all" covers 94 partly overwritten days the same way).
constexpr int64_t RING_SPAN_DAYS = CNTDATA_SLOTS / SLOTS_PER_DAY + 2;

// Switches the process time zone for one report.
class TimezoneScope {
  public:
    explicit TimezoneScope(const std::string &tz) : active_(!tz.empty()) {
        if (!active_) return;
        const char *old = getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("TZ", tz.c_str(), 1);
        tzset();
    }
    ~TimezoneScope() {
        if (!active_) return;
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

  private:
    bool active_, had_ = false;
    std::string old_;
};

const char *const *type_descriptions(const char *const **short_names) {
    static bool built = count_types_build() == 0;
    *short_names = built ? typedesc_short : nullptr;
    return built ? typedesc : nullptr;
}

// A count store of `slot_count` 15-minute slots held in memory, read by the export code the
// same way it reads the camera's mapped file.
struct StoreView {
    cntdata c;
    std::vector<int32_t> slots;

    explicit StoreView(int32_t slot_count) {
        const char *const *short_names = nullptr;
        const char *const *names = type_descriptions(&short_names);
        c.slot_count = slot_count;
        c.interval = CNTDATA_INTERVAL;
        c.type_count = CNTDATA_TYPES;
        c.ntypes = ids;
        c.typedesc = const_cast<const char **>(names);
        c.typedesc_short = const_cast<const char **>(short_names);
        c.slot_size = (CNTDATA_TYPES + 1) * 4;
        c.file_size = slot_count * c.slot_size;
        for (int i = 0; i < CNTDATA_TYPES; ++i) ids[i] = CNTDATA_TYPE_ID_BASE + i;
        slots.assign(size_t(slot_count) * (CNTDATA_TYPES + 1), 0);
        c.map = slots.data();
    }
    ~StoreView() {
        // The arrays belong to this view and the descriptions to the process, not to the store.
        c.ntypes = nullptr;
        c.typedesc = c.typedesc_short = nullptr;
        c.map = nullptr;
    }
    int32_t *slot(time_t t) {
        int64_t index = (int64_t(t) / CNTDATA_INTERVAL) % c.slot_count;
        return slots.data() + index * (CNTDATA_TYPES + 1);
    }
    int32_t ids[CNTDATA_TYPES];
};

int type_index(int gender, int band, bool total) {
    if (gender > 0) return total ? COUNT_TYPE_MEN_TOTAL : COUNT_TYPE_MEN_BAND0 + band;
    return total ? COUNT_TYPE_WOMEN_TOTAL : COUNT_TYPE_WOMEN_BAND0 + band;
}

// Stamps every slot of [from, to) in time order (a later day takes a shared ring slot, as on
// the camera) and adds the counts of the slots that kept their time.
void fill(StoreView *view, time_t from, time_t to, const std::vector<FleetSlotCount> &counts) {
    for (time_t t = from - from % CNTDATA_INTERVAL; t < to; t += CNTDATA_INTERVAL) {
        int32_t *s = view->slot(t);
        std::fill(s, s + CNTDATA_TYPES + 1, 0);
        s[0] = int32_t(t);
    }
    for (const FleetSlotCount &k : counts) {
        if (k.band < 0 || k.band >= AGE_BANDS) continue;
        int32_t *s = view->slot(time_t(k.start));
        if (s[0] != int32_t(k.start)) continue;
        s[1 + type_index(k.gender, k.band, true)] += int32_t(k.count);
        s[1 + type_index(k.gender, k.band, false)] += int32_t(k.count);
    }
}

std::string number(int64_t v) {
    return std::to_string(v);
}

std::string seconds_text(int64_t us) {
    char buf[32];
    snprintf(buf, sizeof buf, "%lld.%06lld", static_cast<long long>(us / 1000000),
             static_cast<long long>(us % 1000000));
    return buf;
}
}  // namespace

int fleet_export(FleetStore *store, ExportKind kind, const FleetReportScope &scope,
                 const std::string &args, std::string *body) {
    TimezoneScope zone(scope.timezone);
    int64_t oldest = 0;
    if (store->oldest_end(scope.serials, &oldest) < 0) return 500;

    // First the days the arguments select, with the oldest data marking where stored days
    // begin (earlier dates are skipped, as on the camera).
    std::vector<time_t> days;
    int32_t slot_count = CNTDATA_SLOTS;
    {
        StoreView probe(slot_count);
        if (oldest > 0) probe.slot(time_t(oldest))[0] = int32_t(oldest);
        if (export_selected_days(&probe.c, args.c_str(), &days) < 0) days.clear();
    }
    StoreView *view = nullptr;
    std::unique_ptr<StoreView> owned;
    if (!days.empty()) {
        auto [lo, hi] = std::minmax_element(days.begin(), days.end());
        time_t from = cntdata_day_start(*lo), to = cntdata_day_end(*hi);
        int64_t span_days = (int64_t(to) - from) / CNTDATA_DAY + 1;
        if (span_days > RING_SPAN_DAYS) slot_count = int32_t((span_days + 1) * SLOTS_PER_DAY);
        owned = std::make_unique<StoreView>(slot_count);
        view = owned.get();
        std::vector<FleetSlotCount> counts;
        if (store->slot_counts(scope.serials, from, to, CNTDATA_INTERVAL, &counts) < 0) return 500;
        fill(view, from, to, counts);
    } else {
        owned = std::make_unique<StoreView>(slot_count);
        view = owned.get();
    }
    std::vector<char> out(EXPORT_BYTES_PER_DAY * (days.size() + 2));
    int length = 0;
    const char *reply = export_build(kind, &view->c, args.c_str(), scope.name_field.c_str(),
                                     scope.serial_field.c_str(), out.data(), out.size(), &length);
    body->assign(reply, size_t(length));
    return reply == out.data() ? 200 : 400;
}

int fleet_cameras_json(FleetStore *store, const FleetReportConfig &cfg,
                       const std::vector<std::pair<std::string, std::string>> &groups, int64_t now,
                       bool stale_only, std::string *body) {
    std::vector<FleetCamera> cameras;
    std::vector<FleetGenderCount> today;
    {
        TimezoneScope zone(cfg.timezone);
        time_t from = cntdata_day_start(time_t(now));
        if (store->cameras(&cameras) < 0 ||
            store->gender_counts(from, cntdata_day_end(time_t(now)), &today) < 0)
            return 500;
    }
    std::map<std::string, std::pair<int64_t, int64_t>> per_camera;  // men, women
    int64_t men = 0, women = 0;
    for (const FleetGenderCount &g : today) {
        auto &mw = per_camera[g.serial];
        (g.gender > 0 ? mw.first : mw.second) += g.count;
        (g.gender > 0 ? men : women) += g.count;
    }
    auto counts = [](int64_t m, int64_t w) {
        return "{\"men\":" + number(m) + ",\"women\":" + number(w) + ",\"total\":" + number(m + w) +
               "}";
    };
    std::string list;
    for (const FleetCamera &c : cameras) {
        bool stale = now - c.last_upload >= cfg.stale_seconds;
        if (stale_only && !stale) continue;
        std::string group;
        for (const auto &[name, serial] : groups)
            if (serial == c.serial) group += (group.empty() ? "" : ",") + name;
        auto mw = per_camera[c.serial];
        list += std::string(list.empty() ? "" : ",") + "{\"serial\":" + json_quoted(c.serial) +
                ",\"name\":" + json_quoted(c.name) + ",\"timezone\":" + json_quoted(c.timezone) +
                ",\"group\":" + json_quoted(group) + ",\"first_seen\":" + number(c.first_seen) +
                ",\"last_upload\":" + number(c.last_upload) +
                ",\"last_saved\":" + seconds_text(c.last_end_us) +
                ",\"stale\":" + (stale ? "true" : "false") +
                ",\"settings\":" + (c.has_settings ? "true" : "false") +
                ",\"today\":" + counts(mw.first, mw.second) + "}";
    }
    *body = "{\"now\":" + number(now) + ",\"stale_seconds\":" + number(cfg.stale_seconds) +
            ",\"cameras\":[" + list + "],\"today\":" + counts(men, women) + "}\n";
    return 200;
}

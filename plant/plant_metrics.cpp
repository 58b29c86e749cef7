#include "plant_metrics.h"

#include "prometheus_text.h"

#include <nlohmann/json.hpp>

namespace j4::plant {
namespace {

std::string text(const nlohmann::json& value) {
    return value.is_string() ? value.get<std::string>() : std::string();
}

long long number(const nlohmann::json& value) {
    return value.is_number() ? value.get<long long>() : 0;
}

} // namespace

std::string plantMetrics(const std::string& live, bool readable) {
    std::string out = "# HELP j4_plant_database_up Whether the plant's database answers the "
                      "live view.\n# TYPE j4_plant_database_up gauge\nj4_plant_database_up " +
                      std::string(readable ? "1" : "0") + "\n";
    const auto document = nlohmann::json::parse(live, nullptr, false);
    if (!document.is_object() || !document["lines"].is_array())
        return out;
    // Free text (a hold's reason) is never a label: each new reason would be
    // a new series, and a long one would make every scrape as long.
    std::string held = "# HELP j4_line_held Whether the line is held (the page says why).\n"
                       "# TYPE j4_line_held gauge\n";
    std::string units = "# HELP j4_line_units_today Units first tried on the line in the "
                        "plant's day, by how they fared.\n# TYPE j4_line_units_today gauge\n";
    std::string silent = "# HELP j4_station_silent Whether the station has not been heard "
                         "from for a minute.\n# TYPE j4_station_silent gauge\n";
    for (const auto& line : document["lines"]) {
        const std::string name = "line=" + quotedLabel(text(line["line"]));
        const std::string why = text(line["held"]);
        held += "j4_line_held{" + name + "} " + (why.empty() ? "0" : "1") + "\n";
        const auto& today = line["today"];
        if (today.is_object())
            for (const char* kind : {"units", "first_pass", "completed"})
                units += "j4_line_units_today{" + name + ",kind=\"" + kind + "\"} " +
                         std::to_string(number(today[kind])) + "\n";
        if (line["stations"].is_array())
            for (const auto& each : line["stations"])
                silent += "j4_station_silent{" + name +
                          ",station=" + quotedLabel(text(each["station"])) + "} " +
                          (each["silent"] == true ? "1" : "0") + "\n";
    }
    return out + held + units + silent;
}

std::string connectionMetrics(std::uint64_t made) {
    return "# HELP j4_plant_database_connections_total Connections the page's server made to the "
           "plant's database (a few, kept, however many pages are open).\n"
           "# TYPE j4_plant_database_connections_total counter\n"
           "j4_plant_database_connections_total " +
           std::to_string(made) + "\n";
}

std::string passwordMetrics(std::uint64_t hashes) {
    return "# HELP j4_plant_password_hashes_total Passwords hashed to check a sign-in (a right "
           "one is remembered for a while).\n# TYPE j4_plant_password_hashes_total counter\n"
           "j4_plant_password_hashes_total " +
           std::to_string(hashes) + "\n";
}

} // namespace j4::plant

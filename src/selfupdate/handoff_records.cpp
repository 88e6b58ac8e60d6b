#include "selfupdate/handoff_records.hpp"

#include "core/text.hpp"
#include "core/files.hpp"

namespace qorn {
namespace {

using nlohmann::json;

std::filesystem::path area_file(const State& state, const char* name) {
    return state.file(std::string("self-update/") + name);
}

std::optional<json> read_record(const State& state, const char* name, std::uint64_t limit = 16384) {
    const std::filesystem::path path = area_file(state, name);
    if (!file_info(path).exists) return std::nullopt;
    return read_json_file(path, limit);
}

// A process id is 32 bits: a larger number must not be cut to somebody else's.
std::uint32_t process_id(const json& value) {
    const auto id = value.get<std::uint64_t>();
    require(id <= 0xFFFFFFFFu, "Hồ sơ bàn giao launcher không hợp lệ.");
    return static_cast<std::uint32_t>(id);
}

}  // namespace

std::optional<LauncherJob> read_job(const State& state) {
    // 1 MiB, not 16 KiB: a client folder's path alone may pass 16 KiB, and the job
    // names it twice.
    const std::optional<json> record = read_record(state, "job.json", 1048576);
    if (!record) return std::nullopt;
    const json& document = *record;
    LauncherJob job;
    job.token = document.at("token").get<std::string>();
    job.root = document.at("root").get<std::string>();
    job.endpoint = document.at("endpoint").get<std::string>();
    const json& offer = document.at("offer");
    job.offer = {offer.at("runtime").get<std::string>(), offer.at("version").get<std::string>(),
                 offer.at("size").get<std::uint64_t>(), offer.at("sha256").get<std::string>(),
                 offer.at("url").get<std::string>()};
    job.old_hash = document.at("oldHash").get<std::string>();
    job.old_size = document.at("oldSize").get<std::uint64_t>();
    job.parent_pid = process_id(document.at("parentPid"));
    job.parent_created = document.at("parentCreated").get<std::uint64_t>();
    job.helper_pid = process_id(document.value("helperPid", json(0)));
    job.helper_created = document.value("helperCreated", std::uint64_t{0});
    job.restart = document.at("restart").get<std::vector<std::string>>();
    job.phase = document.at("phase").get<std::string>();
    job.full_check = document.at("fullCheck").get<bool>();
    return job;
}

void write_job(const State& state, const LauncherJob& job) {
    write_state_json(state, "self-update/job.json",
                     {{"endpoint", job.endpoint},
                      {"fullCheck", job.full_check},
                      {"helperCreated", job.helper_created},
                      {"helperPid", job.helper_pid},
                      {"offer", launcher_offer_json(job.offer)},
                      {"oldHash", job.old_hash},
                      {"oldSize", job.old_size},
                      {"parentCreated", job.parent_created},
                      {"parentPid", job.parent_pid},
                      {"phase", job.phase},
                      {"restart", job.restart},
                      {"root", job.root},
                      {"token", job.token}},
                     JsonStyle::compact);
}

std::optional<std::string> read_boot_token(const State& state) {
    const std::optional<json> record = read_record(state, "boot-ok.json");
    return record ? std::optional(record->at("token").get<std::string>()) : std::nullopt;
}

void write_boot_token(const State& state, const std::string& token) {
    write_state_json(state, "self-update/boot-ok.json", {{"token", token}});
}

std::optional<std::string> read_failed_offer(const State& state) {
    const std::optional<json> record = read_record(state, "failed.json");
    return record ? std::optional(record->at("sha256").get<std::string>()) : std::nullopt;
}

void write_failed_offer(const State& state, const std::string& sha256) {
    write_state_json(state, "self-update/failed.json", {{"sha256", sha256}});
}

}  // namespace qorn

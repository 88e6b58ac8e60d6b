#include "update/journal.hpp"

#include "core/files.hpp"
#include "core/json_text.hpp"
#include "core/text.hpp"

namespace qorn {
namespace {

using nlohmann::json;

// The largest journal a release allows: the installed manifest's text and the
// longest operations (230 path units as \u escapes, indented as earlier builds wrote them).
constexpr std::uint64_t operation_bytes_limit = 1600;
constexpr std::uint64_t journal_limit = 67108864 + journal_operation_limit * operation_bytes_limit;

constexpr char invalid_journal[] = "Nhật ký phục hồi không hợp lệ.";

JournalOperation read_operation(const json& entry) {
    require(entry.is_object(), invalid_journal);
    const auto path = entry.find("path");
    const auto had_original = entry.find("hadOriginal");
    const auto remove = entry.find("remove");
    require(path != entry.end() && path->is_string() && had_original != entry.end() && had_original->is_boolean() &&
                remove != entry.end() && remove->is_boolean(),
            invalid_journal);
    return {path->get<std::string>(), had_original->get<bool>(), remove->get<bool>()};
}

}  // namespace

std::optional<Journal> read_journal(const State& state) {
    const std::filesystem::path path = state.file("journal.json");
    if (!file_info(path).exists) return std::nullopt;
    const json document = read_json_file(path, journal_limit);
    const auto operations = document.find("operations");
    require(document.is_object() && operations != document.end() && operations->is_array() &&
                operations->size() <= journal_operation_limit,
            invalid_journal);
    Journal journal;
    journal.operations.reserve(operations->size());
    // Every operation is read before any is undone: a bad one stops the recovery untouched.
    for (const json& entry : *operations) journal.operations.push_back(read_operation(entry));
    journal.previous = document.value("previous", json(nullptr));
    const auto committed = document.find("committed");
    require(committed == document.end() || committed->is_boolean(), invalid_journal);
    journal.committed = committed != document.end() && committed->get<bool>();
    return journal;
}

void write_journal(const State& state, const std::vector<JournalOperation>& operations, const Manifest* previous,
                   bool committed) {
    // Keys in ascending order: committed, operations, previous; written piece by piece,
    // the installed manifest's text straight from where it is held.
    write_state_streamed(state, "journal.json", [&](const ByteSink& sink) {
        sink(committed ? "{\"committed\":true,\"operations\":" : "{\"committed\":false,\"operations\":");
        char separator = '[';
        for (const JournalOperation& operation : operations) {
            const json entry = {
                {"hadOriginal", operation.had_original}, {"path", operation.path}, {"remove", operation.remove}};
            sink(std::string_view(&separator, 1));
            sink(json_text(entry, JsonStyle::compact));
            separator = ',';
        }
        sink(operations.empty() ? "[],\"previous\":" : "],\"previous\":");
        if (previous == nullptr) {
            sink("null");
        } else {
            // A byte-order mark is only allowed at the start of a text, not inside this one.
            std::string_view manifest = previous->text;
            if (manifest.starts_with("\xEF\xBB\xBF")) manifest.remove_prefix(3);
            sink(manifest);
        }
        sink("}");
    });
}

}  // namespace qorn

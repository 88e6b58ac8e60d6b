#include "release/manifest_reader.hpp"

#include "core/keys.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "release/client_path.hpp"

namespace qorn {
namespace {

using nlohmann::json;

constexpr std::uint64_t size_top = 0x7fffffffffffffffULL;
constexpr const char* member_names[] = {"path", "size", "sha256", "url"};
constexpr size_t unknown_member = std::size(member_names);

size_t member_index(const std::string& name) {
    for (size_t i = 0; i < std::size(member_names); ++i) {
        if (name == member_names[i]) return i;
    }
    return unknown_member;
}

std::uint64_t size_value(const json* member) {
    require(member != nullptr && member->is_number_integer(), "Kích thước file không hợp lệ.");
    if (member->is_number_unsigned()) {
        const auto value = member->get<std::uint64_t>();
        require(value <= size_top, "Kích thước file vượt giới hạn.");
        return value;
    }
    const auto value = member->get<std::int64_t>();
    require(value >= 0, "Kích thước file không hợp lệ.");
    return static_cast<std::uint64_t>(value);
}

// The rules of one entry, in the order they are judged: `text` answers a member's
// string, `size` the size.
template <class Text, class Size>
ClientFile file_entry(Text text, Size size, const UrlParts& manifest_url, FileUrls urls) {
    ClientFile file;
    file.path = text("path");
    file.size = size();
    file.sha256 = text("sha256");
    require_client_path(file.path, false);
    require_sha256(file.sha256);
    std::string url = text("url");
    require_same_host(to_wide(url), manifest_url);
    file.key = case_key(to_wide(file.path));
    if (urls == FileUrls::kept) file.url = std::move(url);
    return file;
}

ClientFile read_file_entry(const json& entry, const UrlParts& manifest_url, FileUrls urls) {
    return file_entry([&](const char* name) { return entry.at(name).get<std::string>(); },
                      [&] { return read_size(entry); }, manifest_url, urls);
}

// The library's builder takes each value by its own call.
bool forward(ManifestReader::Builder& builder, json& value) {
    switch (value.type()) {
    case json::value_t::null:
        return builder.null();
    case json::value_t::boolean:
        return builder.boolean(value.get<bool>());
    case json::value_t::number_integer:
        return builder.number_integer(value.get<json::number_integer_t>());
    case json::value_t::number_unsigned:
        return builder.number_unsigned(value.get<json::number_unsigned_t>());
    case json::value_t::number_float:
        return builder.number_float(value.get<json::number_float_t>(), {});
    case json::value_t::string:
        return builder.string(value.get_ref<std::string&>());
    default:
        return builder.binary(value.get_ref<json::binary_t&>());
    }
}

}  // namespace

std::uint64_t read_size(const json& entry) {
    const auto member = entry.find("size");
    return size_value(member != entry.end() ? &*member : nullptr);
}

ManifestReader::ManifestReader(json& document, std::wstring_view manifest_url, FileUrls urls, size_t expected_files)
    : top_(document), urls_(urls), expected_files_(expected_files) {
    try {
        manifest_url_ = crack_url(manifest_url);
    } catch (...) {
        url_failure_ = std::current_exception();
    }
}

bool ManifestReader::key(std::string& name) {
    if (by_members_) {
        member_key_ = name;
        return true;
    }
    if (in_files_) return entry_builder_->key(name);
    if (depth_ == 1) files_key_ = name == "files";
    return top_.key(name);
}

bool ManifestReader::scalar(json value) {
    if (in_files_ && depth_ == 2) {
        entry_ = std::move(value);
        take_entry();
        return true;
    }
    if (by_members_) {
        // Members the rules do not read are not kept.
        const size_t index = member_index(member_key_);
        if (index != unknown_member) members_[index] = std::move(value);
        return true;
    }
    if (in_files_) return forward(*entry_builder_, value);
    if (depth_ == 1 && files_key_) start_files(false);
    return forward(top_, value);
}

bool ManifestReader::open(bool array, size_t length) {
    ++depth_;
    if (in_files_) {
        if (depth_ == 3 && !array) {
            by_members_ = true;
            members_ = {};
            return true;
        }
        if (depth_ == 3) {
            entry_ = json();
            entry_builder_.emplace(entry_);
        } else if (by_members_) {
            to_document();
        }
        return array ? entry_builder_->start_array(length) : entry_builder_->start_object(length);
    }
    if (depth_ == 2 && files_key_) {
        start_files(array);
        if (array) {
            in_files_ = true;
            return top_.null();
        }
    }
    return array ? top_.start_array(length) : top_.start_object(length);
}

bool ManifestReader::close(bool array) {
    --depth_;
    if (!in_files_) return array ? top_.end_array() : top_.end_object();
    if (depth_ == 1) {
        in_files_ = false;  // the end of the files array, whose place holds a null
        return true;
    }
    if (by_members_) {
        take_entry();
        by_members_ = false;
        return true;
    }
    const bool closed = array ? entry_builder_->end_array() : entry_builder_->end_object();
    if (depth_ == 2) {
        entry_builder_.reset();
        take_entry();
    }
    return closed;
}

void ManifestReader::start_files(bool array) {
    files_key_ = false;
    files_is_array_ = array;
    file_count_ = 0;
    files_.clear();
    entry_failure_ = nullptr;
}

// An entry read member by member meets a value that is no scalar: it goes on as a
// document, opened with the members kept so far and the member being read.
void ManifestReader::to_document() {
    by_members_ = false;
    entry_ = json();
    entry_builder_.emplace(entry_);
    entry_builder_->start_object(static_cast<size_t>(-1));
    for (size_t i = 0; i < member_count; ++i) {
        if (!members_[i]) continue;
        std::string name = member_names[i];
        entry_builder_->key(name);
        forward(*entry_builder_, *members_[i]);
    }
    entry_builder_->key(member_key_);
}

void ManifestReader::take_entry() {
    ++file_count_;
    // Past the limit the manifest is refused whole: nothing more is kept.
    if (entry_failure_ || url_failure_ || file_count_ > manifest_file_limit) return;
    try {
        if (files_.empty()) files_.reserve(expected_files_);
        if (by_members_) {
            take_members();
        } else {
            files_.push_back(read_file_entry(entry_, *manifest_url_, urls_));
        }
    } catch (...) {
        entry_failure_ = std::current_exception();
    }
    entry_ = json();
}

void ManifestReader::take_members() {
    const auto is_string = [&](size_t i) { return members_[i] && members_[i]->is_string(); };
    const bool typed = is_string(0) && members_[1] && members_[1]->is_number_integer() && is_string(2) && is_string(3);
    if (!typed) {  // what it fails with is the library's, as for a document
        entry_ = json::object();
        for (size_t i = 0; i < member_count; ++i) {
            if (members_[i]) entry_[member_names[i]] = std::move(*members_[i]);
        }
        files_.push_back(read_file_entry(entry_, *manifest_url_, urls_));
        return;
    }
    files_.push_back(file_entry(
        [&](const char* name) { return std::move(members_[member_index(name)]->get_ref<std::string&>()); },
        [&] { return size_value(&*members_[1]); }, *manifest_url_, urls_));
}

}  // namespace qorn

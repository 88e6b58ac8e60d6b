// The streaming reader of a manifest's text: the document is built without its "files"
// array, whose entries become ClientFiles one by one. Used by parse_manifest only; one
// reader reads one text on one thread.
#pragma once

#include "release/manifest.hpp"
#include "release/urls.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace qorn {

// The "size" member of a file or package entry, by the manifest's rules.
std::uint64_t read_size(const nlohmann::json& entry);

// Parse events of the whole text. An entry whose members are all scalars is taken
// member by member, without a document of its own; any other is built as a small
// document (what a missing or mistyped member fails with is the library's word). The
// first entry that breaks a rule of its own is kept as a failure and ends the reading
// of entries; it is raised in the rules' order after the parse, so a syntax error
// anywhere still comes first.
class ManifestReader {
public:
    using json = nlohmann::json;
    using Builder = nlohmann::detail::json_sax_dom_parser<json>;

    ManifestReader(json& document, std::wstring_view manifest_url, FileUrls urls, size_t expected_files);

    bool null() { return scalar(json(nullptr)); }
    bool boolean(bool value) { return scalar(json(value)); }
    bool number_integer(json::number_integer_t value) { return scalar(json(value)); }
    bool number_unsigned(json::number_unsigned_t value) { return scalar(json(value)); }
    bool number_float(json::number_float_t value, const std::string&) { return scalar(json(value)); }
    bool string(std::string& value) { return scalar(json(value)); }
    bool binary(json::binary_t& value) { return scalar(json(value)); }

    bool start_object(size_t length) { return open(false, length); }
    bool start_array(size_t length) { return open(true, length); }
    bool end_object() { return close(false); }
    bool end_array() { return close(true); }
    bool key(std::string& name);

    template <class Exception>
    bool parse_error(size_t, const std::string&, const Exception& failure) {
        throw failure;
    }

    // Whether the last "files" member was an array, and how many entries it had.
    bool files_is_array() const { return files_is_array_; }
    size_t file_count() const { return file_count_; }
    // The entries read before the first one that broke a rule, then that failure.
    std::vector<ClientFile> take_files() { return std::move(files_); }
    // A manifest URL that cannot be cracked fails before any entry is judged.
    void rethrow_url_failure() const {
        if (url_failure_) std::rethrow_exception(url_failure_);
    }
    const std::exception_ptr& entry_failure() const { return entry_failure_; }

private:
    // The members an entry is read from, in the order of `member_names`.
    static constexpr size_t member_count = 4;
    using Members = std::array<std::optional<json>, member_count>;

    bool scalar(json value);
    bool open(bool array, size_t length);
    bool close(bool array);
    void start_files(bool array);
    void to_document();
    void take_entry();
    void take_members();

    Builder top_;
    FileUrls urls_;
    size_t expected_files_;
    json entry_;
    std::optional<Builder> entry_builder_;
    bool by_members_ = false;  // the entry being read is taken member by member
    Members members_;
    std::string member_key_;
    std::optional<UrlParts> manifest_url_;
    std::exception_ptr url_failure_;
    std::exception_ptr entry_failure_;
    size_t depth_ = 0;
    bool files_key_ = false;  // the member being read at the top is "files"
    bool in_files_ = false;
    bool files_is_array_ = false;
    size_t file_count_ = 0;
    std::vector<ClientFile> files_;
};

}  // namespace qorn

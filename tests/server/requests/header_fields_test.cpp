#include "server/requests/header_fields.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using server::BodyLength;

TEST(FormDataBoundary, ReadsParametersInAnyOrderCaseAndQuoting) {
    struct Row {
        std::string content_type;
        std::optional<std::string> boundary;
    };
    const Row rows[] = {
        {"multipart/form-data; boundary=X", "X"},
        {"multipart/form-data; boundary=X; charset=UTF-8", "X"},
        {"multipart/form-data; charset=UTF-8; boundary=X", "X"},
        {"multipart/form-data; Boundary=X", "X"},
        {"Multipart/Form-Data;BOUNDARY=X", "X"},
        {"multipart/form-data ; boundary = X ;", "X"},
        {"multipart/form-data; boundary=\"a b;c\"", "a b;c"},
        {"multipart/form-data; boundary=\"q\\\"x\"", "q\"x"},
        {"multipart/form-data; boundary=----WebKitFormBoundary7MA4YWxk", "----WebKitFormBoundary7MA4YWxk"},
        {"multipart/form-data", std::nullopt},
        {"multipart/form-data; boundary=", std::nullopt},
        {"multipart/form-data; boundary=\"\"", std::nullopt},
        {"multipart/form-data; boundary=\"open", std::nullopt},
        {"multipart/form-data; boundary=" + std::string(71, 'b'), std::nullopt},
        {"multipart/mixed; boundary=X", std::nullopt},
        {"multipart/form-datax; boundary=X", std::nullopt},
        {"text/plain; note=\"boundary=X\"", std::nullopt},
        {"multipart/form-data; charset; boundary=X", std::nullopt},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(server::form_data_boundary(row.content_type), row.boundary) << row.content_type;
    }
}

TEST(BodyLength, OneLengthOrMalformed) {
    struct Row {
        server::Headers headers;
        BodyLength::Kind kind;
        std::uint64_t bytes;
    };
    const Row rows[] = {
        {{}, BodyLength::Kind::absent, 0},
        {{{"Host", "x"}}, BodyLength::Kind::absent, 0},
        {{{"Content-Length", "42"}}, BodyLength::Kind::known, 42},
        {{{"content-length", "0"}}, BodyLength::Kind::known, 0},
        {{{"Content-Length", "42"}, {"CONTENT-LENGTH", "42"}}, BodyLength::Kind::known, 42},
        {{{"Content-Length", "42, 42"}}, BodyLength::Kind::known, 42},
        {{{"Content-Length", "42"}, {"Content-Length", "5"}}, BodyLength::Kind::malformed, 0},
        {{{"Content-Length", "42, 5"}}, BodyLength::Kind::malformed, 0},
        {{{"Content-Length", "42,"}}, BodyLength::Kind::malformed, 0},
        {{{"Content-Length", ""}}, BodyLength::Kind::malformed, 0},
        {{{"Content-Length", "-1"}}, BodyLength::Kind::malformed, 0},
        {{{"Content-Length", "+5"}}, BodyLength::Kind::malformed, 0},
        {{{"Content-Length", "0x10"}}, BodyLength::Kind::malformed, 0},
        {{{"Content-Length", "99999999999999999999999"}}, BodyLength::Kind::malformed, 0},
    };
    for (const Row& row : rows) {
        const BodyLength length = server::body_length(row.headers);
        const std::string shown = row.headers.empty() ? "none" : row.headers.back().second;
        EXPECT_EQ(length.kind, row.kind) << shown;
        EXPECT_EQ(length.bytes, row.bytes) << shown;
    }
}

}  // namespace

#pragma once
#include <cstddef>
#include <map>
#include <string>
#include <string_view>

struct MHD_Connection;
struct MHD_PostProcessor;

// What the status server reads of a request's body: its size against the route's bound, and for
// the channel form's routes (add, edit, check) the form-encoded fields. One per request, made
// once its headers are in and freed when the library says the request is done; server thread.
class RequestBody {
public:
    static constexpr std::size_t kMaxBody = 1024; // a command's (not read)
    static constexpr std::size_t kMaxFormBody = 16 * 1024; // the channel form's fields
    static constexpr std::size_t kMaxCsvBody = 4 * 1024 * 1024; // a CSV import's file, form-encoded

    // The bound of method and url's body.
    static std::size_t Limit(std::string_view method, std::string_view url);

    RequestBody(MHD_Connection* connection, std::string_view method, std::string_view url);
    ~RequestBody();
    RequestBody(const RequestBody&) = delete;
    RequestBody& operator=(const RequestBody&) = delete;

    // A piece of the body; false once the body has grown past its bound.
    bool Take(const char* data, std::size_t size);
    // A form whose encoding could not be read.
    bool Malformed() const { return m_malformed; }
    const std::map<std::string, std::string>& Fields() const { return m_fields; }

private:
    std::size_t m_size = 0;
    std::size_t m_limit;
    MHD_PostProcessor* m_post = nullptr; // null unless a form route got a form-encoded body
    bool m_malformed = false;
    std::map<std::string, std::string> m_fields;
};

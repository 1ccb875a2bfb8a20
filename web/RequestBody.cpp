#include "web/RequestBody.h"

#include <cstdint>

#include <microhttpd.h>

namespace {

bool TakesForm(std::string_view method, std::string_view url)
{
    const auto ends = [url](std::string_view tail) {
        return url.size() >= tail.size() && url.substr(url.size() - tail.size()) == tail;
    };
    return method == "POST"
        && (url == "/api/channels" || url == "/api/check" || url == "/api/import-csv"
            || (url.substr(0, 14) == "/api/channels/" && ends("/edit")));
}

// The post processor's pieces of a field's value, in order.
MHD_Result AddField(void* fields, MHD_ValueKind, const char* key, const char*, const char*, const char*,
    const char* data, std::uint64_t, std::size_t size) noexcept
{
    try {
        (*static_cast<std::map<std::string, std::string>*>(fields))[key].append(data ? data : "", data ? size : 0);
        return MHD_YES;
    } catch (...) {
        return MHD_NO;
    }
}

} // namespace

std::size_t RequestBody::Limit(std::string_view method, std::string_view url)
{
    return !TakesForm(method, url) ? kMaxBody : url == "/api/import-csv" ? kMaxCsvBody : kMaxFormBody;
}

RequestBody::RequestBody(MHD_Connection* connection, std::string_view method, std::string_view url)
    : m_limit(Limit(method, url))
{
    // Null for a body that is not form-encoded: the route then gets no fields.
    if (TakesForm(method, url))
        m_post = MHD_create_post_processor(connection, 1024, &AddField, &m_fields);
}

RequestBody::~RequestBody()
{
    if (m_post)
        MHD_destroy_post_processor(m_post);
}

bool RequestBody::Take(const char* data, std::size_t size)
{
    m_size += size;
    if (m_size > m_limit)
        return false;
    if (m_post && !m_malformed && MHD_post_process(m_post, data, size) != MHD_YES)
        m_malformed = true;
    return true;
}

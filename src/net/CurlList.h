#pragma once

#include <curl/curl.h>

#include <QByteArray>

// A libcurl string list (commands, request headers) that frees itself.
class CurlList {
public:
    CurlList() = default;
    ~CurlList() { curl_slist_free_all(m_list); }
    CurlList(const CurlList&) = delete;
    CurlList& operator=(const CurlList&) = delete;

    // False when there is no memory for the line; the list is then as it was.
    bool append(const QByteArray& line) {
        curl_slist* longer = curl_slist_append(m_list, line.constData());
        if (!longer)
            return false;
        m_list = longer;
        return true;
    }
    curl_slist* get() const { return m_list; }

private:
    curl_slist* m_list = nullptr;
};

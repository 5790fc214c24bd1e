// curl's objects as owning handles. Internal to service/.
#pragma once

#include <curl/curl.h>

#include <memory>

struct EasyCloser {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ShareCloser {
  void operator()(CURLSH* share) const { curl_share_cleanup(share); }
};
struct UrlCloser {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct SlistCloser {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

using EasyHandle = std::unique_ptr<CURL, EasyCloser>;
using ShareHandle = std::unique_ptr<CURLSH, ShareCloser>;
using UrlHandle = std::unique_ptr<CURLU, UrlCloser>;
using SlistHandle = std::unique_ptr<curl_slist, SlistCloser>;

#include "common/alloc_seam.h"

namespace brantwick {

const char* alloc_site_name(alloc_site site) noexcept {
  switch (site) {
    case alloc_site::pid_path:
      return "pid_path";
    case alloc_site::retriever_path:
      return "retriever_path";
    case alloc_site::watched_entry:
      return "watched_entry";
    case alloc_site::watched_path:
      return "watched_path";
    case alloc_site::pending_entry:
      return "pending_entry";
    case alloc_site::device_text:
      return "device_text";
    case alloc_site::detail_text:
      return "detail_text";
  }
  return "";
}

__attribute__((weak)) bool allocation_should_fail(alloc_site /*site*/) noexcept {
  return false;
}

}  // namespace brantwick

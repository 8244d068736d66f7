// Starting the retriever for each pending device of one watched file.
#pragma once

#include "common/watch_config.h"
#include "watch/change_notice.h"

namespace brantwick {

// One child per pending device, in list order; never waits for them. Empties
// the list.
void dispatch_retrievals(const watch_config& config, const watched_file& file,
                         pending_changes& pending) noexcept;

}  // namespace brantwick

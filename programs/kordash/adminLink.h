// kordash's side of the admin port: the shared client of programs/common.
#pragma once

#include "adminClient.h"

namespace kordash {

using kor::admin::AdminSession;
using kor::admin::channelKindName;
using kor::admin::ChannelRecord;
using kor::admin::decodeHandleList;
using kor::admin::decodeJobList;
using kor::admin::decodeReadout;
using kor::admin::LinkState;
using kor::admin::linkStateName;
using kor::admin::transferMeaning;
using kor::admin::transferRecord;
using kor::admin::unescape;

}  // namespace kordash

// How the journal tells a table's rows apart: the same as the run.
#pragma once

#include "database/rowkey.h"

namespace Journal {

using MySQL::ByteLiteral;
using MySQL::ExactTest;
using MySQL::ReadRowIdentity;
using MySQL::RowIdentity;
using MySQL::TextLiteral;

}  // namespace Journal

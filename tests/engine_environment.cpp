// Every test process starts like the engine: tables, reductions, tablebases and the network.
#include <gtest/gtest.h>
#include "board/tables.h"
#include "control/search_control.h"
#include "eval/evaluate.h"
#include "search/reductions.h"
#include "tablebase/tablebase.h"

namespace {

class EngineEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        init_board_tables();
        init_reductions();
        unpack_network();
    }
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new EngineEnvironment);

}  // namespace

// The runs table of repeats, written row by row as the runs are reported and marked at the end, is
// the table written whole from the same rows.
#include "driver/run_table.h"

#include "test_support.h"

// The best row first, between, and last; bounds on no row, some rows (the others get the empty
// columns) and every row; several land uses, whose five terms are empty fields; a NaN energy.
TEST(RunTableTest, AStreamedTableIsTheWholeTableOfItsRows) {
  struct Case {
    std::vector<bool> bounded;  // per row
    bool uses;
    int64_t best;
  };
  for (const Case& c : {Case{{false, false, false}, false, 0}, Case{{false, true, false}, false, 1},
                        Case{{true, true, true}, true, 2}, Case{{false, false}, true, 1}}) {
    std::vector<RunRow> rows;
    for (size_t i = 0; i < c.bounded.size(); ++i) {
      RunRow r;
      r.run = static_cast<int32_t>(i + 1), r.seed = 40 + i, r.seconds = 0.25 * i;
      r.energy.energy = i == 1 ? std::nan("") : 1.0 / 3.0 + i;
      r.energy.cells = 9, r.energy.islands = 2;
      r.measures = {900.0, i == 0, 120.0, 1, 2, 0.5, 30.0};
      if (c.bounded[i]) r.lower_bound = 0.25;
      for (const char* name : {"housing", "green"}) {
        if (c.uses) r.uses.push_back({name, r.energy, r.measures});
      }
      rows.push_back(r);
    }
    TempDir dir;
    RunsTableStream table;
    runs_table_begin(table, dir.path("t.csv"));
    for (const RunRow& r : rows) runs_table_add(table, r);
    {
      LogCapture log;
      runs_table_finish(table, c.best);
      EXPECT_EQ(log.text(), "* write '" + dir.path("t.csv") + "'\n");
    }
    rows[static_cast<size_t>(c.best)].best = true;
    EXPECT_EQ(dir.read("t.csv"), runs_table_text(rows)) << c.best;
    // The rows waited in a file without a name.
    EXPECT_EQ(file_names(dir.path("")), std::vector<std::string>{"t.csv"});
  }
}

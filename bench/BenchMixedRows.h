// The mixed-row table of the fetch benchmarks: seven columns (INT, BIGINT,
// DOUBLE, DECIMAL, VARCHAR(20), DATETIME and a nullable INT) filled from the
// server's sequence table, and a FetchAll read of a query through the MySQL
// record set that answers the rows it holds.
#pragma once

#include <cstdint>
#include <string>

#include <lumokit/mysql/provider/MyClasses.h>
#include <lumokit/mysql/provider/MyClassesRecordset.h>

namespace lumo::bench {

inline void FillMixedRows(TMySQLConnection& c, const std::string& table, long rows) {
  c.ExecStatement("DROP TABLE IF EXISTS " + table);
  c.ExecStatement("CREATE TABLE " + table +
                  " (id INT PRIMARY KEY, big BIGINT, dbl DOUBLE, dec_ DECIMAL(12,2), txt VARCHAR(20),"
                  " dt DATETIME, maybe INT NULL) ENGINE=InnoDB");
  c.ExecStatement("INSERT INTO " + table +
                  " SELECT seq, CAST(seq AS SIGNED) * 7919 - 4000000000, seq / 7.0, seq * 1.25, CONCAT('name-', seq),"
                  " '2024-01-01' + INTERVAL seq SECOND, IF(seq % 2, seq, NULL) FROM seq_1_to_" +
                  std::to_string(rows));
}

inline std::uint64_t FetchAllRows(TMySQLConnection& c, const std::string& sql) {
  TMySQLRecordset rs;
  rs.SetConnection(&c);
  rs.SetSQL(sql);
  rs.SetProp(prFetchAll, true);
  rs.Open();
  const auto n = static_cast<std::uint64_t>(rs.GetRecordCount());
  rs.Close();
  return n;
}

}  // namespace lumo::bench

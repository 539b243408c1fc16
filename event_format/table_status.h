// Failure codes of the table parsers (get_zorv_file_reference_table_m*,
// zorv_get_*_table_m*). Every parser returns 0 on success and one of these
// otherwise; *out is then left null.
//
//   code  meaning
//   ----  -------------------------------------------------------------------
//    -5   by-list ECPT: none of the listed channel names is in the CDT
//    11   bad argument (null out pointer or table, negative length, bad fd)
//    12   read error or the file is shorter than its stated length
//    13   a position or length points outside the file
//    14   wrong table pattern
//    15   inconsistent lengths or counts inside a table
//    16   out of memory, or the in-memory table would exceed 2 GiB
//    17   ECPT does not match the CDT (column count or a column's count)
#ifndef ZORV_TABLE_STATUS_H
#define ZORV_TABLE_STATUS_H

namespace zorv {

enum table_status {
    table_ok = 0,
    table_no_listed_channel = -5,
    table_bad_argument = 11,
    table_io_error = 12,
    table_out_of_file = 13,
    table_bad_pattern = 14,
    table_inconsistent = 15,
    table_no_memory = 16,
    table_cdt_mismatch = 17,
};

}  // namespace zorv

#endif

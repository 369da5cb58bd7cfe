// The package operations: make, extract in place, read one member and check.
#pragma once

#include "ops/options.h"
#include "pac/pac.h"
#include "trust/signature.h"

namespace kb {

// Makes the package at options.dest_path of the members options.member_specs
// name, with options.feature; throws with the message of the first failure,
// leaving whatever was at dest_path untouched.
void make_package(const pac_options& options);

// Extracts the members of the package at options.package_path into their
// directories, cutting the package behind every piece unless
// options.preserve, or finishes an extract of it that a kill or a power cut
// stopped; opens, locks, verifies (with a key) and loads the package
// itself; returns what verifying found (empty without a key, and for
// --plan); throws on failure.
verified_package extract_in_place(const pac_options& options, const dest_dir_map& dirs);

// Reads every member matching the name and/or type filter (all members
// without filters) and compares its MD5 with the record, one line each;
// writes nothing; throws after the last line when any is damaged.
// With --json, verified (empty without a key) goes into the document.
void check_package(const pac_options& options, const package_file& package, const pac_index& index,
                   const verified_package& verified);

// The directory read writes in (-o's, or the current one), opened once
// before the package is read, so that a swap of it while the signature is
// read leads nowhere else; closed for stdout. Throws when it is not there.
directory open_output_dir(const pac_options& options);

// Unpacks the first member matching the name and/or type filter into at,
// under its name or -o's; never changes the package; throws on failure.
void read_one_member(const pac_options& options, const package_file& package,
                     const pac_index& index, const directory& at);

}  // namespace kb

// Grouping several registry calls so that they land together or not at all.
//
// This sits beside the registry seam, not in it: the twelve calls of RegistryApi mirror Windows, where
// plain registry calls have no transaction. The Linux registry store can group them; advapi32 cannot.
#pragma once

#include <functional>

#include <cregistry/RegistryApi.h>

namespace cregistry {

// Whether RunAsOneTransaction on api really makes body's calls atomic (true for a registry store
// connection from OpenRegistryStore; false for advapi32 and for wrappers around either).
bool SupportsTransactions(const RegistryApi& api);

// Runs body; every call that body makes through api joins one transaction where api supports it:
//   - body answers 0: the transaction commits, and the answer is the commit's code (0 when it landed);
//   - body answers a failure code or throws: nothing body did is kept, the code (or exception) passes on;
//   - the process dies at any point: the store holds either all of body's writes or none.
// Where api does not support transactions, body simply runs and what it did before a failure stays.
// Calls made through api by other threads while body runs are not part of the transaction and wait for it.
// Nesting is not supported: a call inside body answers kInvalidParameter.
// On a connection to two store files (the user's and the machine's, see OpenRegistryStores in
// <cregistry/Store.h>) body writes to one of them: a write to the other answers 17
// (ERROR_NOT_SAME_DEVICE) and nothing of body is kept.
long RunAsOneTransaction(RegistryApi& api, const std::function<long()>& body);

// Runs body; every read that body makes through api sees one and the same state of the registry where
// api supports it (the store: one read transaction, which never takes the write lock and works on a
// store that cannot be written), however many reads body makes and whatever other connections commit
// meanwhile. body's answer (or exception) passes on; the snapshot ends with the call.
//   - Writes made through api inside body answer kAccessDenied and change nothing.
//   - Calls made through api by other threads while body runs are not part of it and wait for it.
//   - Nesting (in this or in RunAsOneTransaction, on the same api) answers kInvalidParameter.
// Where api does not support transactions (advapi32, wrappers), body simply runs.
long RunAsOneSnapshot(RegistryApi& api, const std::function<long()>& body);

}  // namespace cregistry

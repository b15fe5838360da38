#pragma once
// Where a backup store keeps its bytes: a local directory, or an object
// store (s3/S3StoreBackend). The store's layout (BackupStore) is written once, against
// this interface. Keys are '/'-separated names relative to the store's
// root, built only from checked components; "" is the root itself.
// Thread safety: every operation may be called from any thread; one writer
// or reader object is used by one thread.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "framework/LogSink.h"

// `name` below `parent` ("" is the root).
inline std::string keyJoin(const std::string& parent, const std::string& name) {
    return parent.empty() ? name : parent + "/" + name;
}

// One object being written. Its bytes become visible under its key only at
// commit; an object dropped before commit leaves nothing behind.
class ObjectWriter {
public:
    virtual ~ObjectWriter() = default;
    virtual bool write(const char* data, size_t length, std::string& error) = 0;
    // Durable once this returns true (see StoreBackend::sync for the set).
    virtual bool commit(std::string& error) = 0;
};

// One object being read from its start.
class ObjectReader {
public:
    virtual ~ObjectReader() = default;
    // Up to `capacity` bytes; 0 at the end; -1 when the read failed (error()).
    virtual long read(char* buffer, size_t capacity) = 0;
    virtual std::string error() const = 0;
};

// Held while it exists.
class StoreLock {
public:
    virtual ~StoreLock() = default;
};

class StoreBackend {
public:
    virtual ~StoreBackend() = default;

    // The key as the user finds it (a path, or a URL), for messages.
    virtual std::string where(const std::string& key) const = 0;
    // Makes the store usable, creating it when it is missing. Empty on
    // success, else why not.
    virtual std::string open() = 0;

    // Replaces the object whole, atomically and durably. Empty on success.
    virtual std::string put(const std::string& key, const std::string& data) = 0;
    // False with why when the object is missing or cannot be read.
    virtual bool get(const std::string& key, std::string& data, std::string& error) const = 0;

    // Compare-and-swap, for a record more than one process could write (a
    // job's manifest: two writers given one job, or a stale writer whose
    // lock lapsed). `version` names the bytes the caller last read or
    // wrote, "" meaning the object must not exist yet; on success it names
    // the bytes now stored. When the object holds other bytes it is left
    // alone and the answer begins with kChangedByAnotherWriter. An object
    // already holding exactly `data` counts as written: it is this
    // caller's own write, seen again by a retry.
    // The default (a content hash, checked under a process-wide mutex)
    // excludes threads only; it is sound where an exclusive lock excludes
    // other processes, as a local store's job lock does.
    virtual std::string putIfVersion(const std::string& key, const std::string& data, std::string& version);
    // get(), with the version of the bytes read.
    virtual bool getVersioned(const std::string& key, std::string& data, std::string& version,
                              std::string& error) const;
    static constexpr const char* kChangedByAnotherWriter = "changed by another writer";
    // Whether the object is there. A backend that cannot tell (its server
    // failed to answer) says true: no caller may take an object it could
    // not read for one that is missing, and remove what depends on it.
    virtual bool exists(const std::string& key) const = 0;
    virtual std::unique_ptr<ObjectWriter> create(const std::string& key, std::string& error) = 0;
    virtual std::unique_ptr<ObjectReader> read(const std::string& key, std::string& error) const = 0;
    // Removes the object, or the prefix once nothing is below it.
    virtual void remove(const std::string& key) = 0;
    // The names directly below `prefix` (objects and deeper prefixes alike),
    // sorted. It may name leftovers of writes never committed (a local
    // store's "<name>.tmp"), so that a cleanup can find and remove them.
    virtual std::vector<std::string> list(const std::string& prefix) const = 0;
    // The same, but false with why when the names could not all be read
    // (a listing of an object store that failed part-way): a caller that
    // chooses among jobs must not choose from part of them.
    virtual bool listChecked(const std::string& prefix, std::vector<std::string>& names, std::string& error) const {
        names = list(prefix);
        error.clear();
        return true;
    }
    // Makes the objects committed directly below `prefix` durable as a set.
    // Empty on success.
    virtual std::string sync(const std::string& prefix) = 0;

    // Exclusion between processes. Null, with why, when another process
    // holds `key` (without `wait`) or the lock cannot be taken.
    virtual std::unique_ptr<StoreLock> lock(const std::string& key, bool wait, std::string& error) = 0;
    // Whether some process holds `key` now.
    virtual bool isLocked(const std::string& key) const = 0;

    // A log kept under `key`, line by line, and on stderr when asked.
    virtual std::shared_ptr<LogSink> openLog(const std::string& key, bool alsoToStderr) = 0;
};

-- The fleet's first schema: its identifier, the testers and their tokens, the events as received,
-- the conflicts among them and the device inventory the events make.

-- One row: the fleet's own identifier, which a tester keeps with its cursor.
CREATE TABLE fleet (
    id uuid PRIMARY KEY DEFAULT gen_random_uuid(),
    created timestamptz NOT NULL DEFAULT now(),
    single boolean NOT NULL DEFAULT true UNIQUE CHECK (single)
);
INSERT INTO fleet DEFAULT VALUES;

-- A tester, made with its first token; what its events add up to, kept as they are stored.
CREATE TABLE testers (
    name text PRIMARY KEY,
    created timestamptz NOT NULL DEFAULT now(),
    last_sync timestamptz,
    events bigint NOT NULL DEFAULT 0,
    highest_seq bigint NOT NULL DEFAULT 0,
    dropped bigint NOT NULL DEFAULT 0,  -- the events its history's size cap removed
    clock_flagged bigint NOT NULL DEFAULT 0  -- its events whose clock was off
);

-- Only the SHA-256 of a token is kept (hex); a revoked token stays, with its time.
CREATE TABLE tokens (
    hash text PRIMARY KEY,
    kind text NOT NULL CHECK (kind IN ('tester', 'admin')),
    name text NOT NULL,
    created timestamptz NOT NULL DEFAULT now(),
    revoked timestamptz
);
CREATE INDEX tokens_name ON tokens (name);

-- Every event once, by its id, with its line as received. receipt: the order the collectors
-- took the events in (the inventory follows it). clock_seconds: received - the tester's time.
CREATE TABLE events (
    id text PRIMARY KEY CHECK (id ~ '^[0-9a-f]{32}$'),
    receipt bigint NOT NULL UNIQUE,
    tester text NOT NULL REFERENCES testers (name),
    seq bigint NOT NULL,
    tester_time timestamptz,
    received timestamptz NOT NULL DEFAULT now(),
    operation text NOT NULL,
    card text NOT NULL,
    serial text NOT NULL,
    dropped bigint NOT NULL DEFAULT 0,
    dropped_first bigint,
    dropped_last bigint,
    clock_seconds bigint,
    clock_flagged boolean NOT NULL,
    content text NOT NULL
);
CREATE SEQUENCE events_receipt;
CREATE INDEX events_tester_seq ON events (tester, seq);
CREATE INDEX events_serial ON events (serial);

-- An event sent again with other content, or by another tester, than the one stored; each
-- such sending once.
CREATE TABLE conflicts (
    number bigserial PRIMARY KEY,
    id text NOT NULL,
    tester text NOT NULL,
    seq bigint NOT NULL,
    received timestamptz NOT NULL DEFAULT now(),
    content text NOT NULL
);
CREATE UNIQUE INDEX conflicts_once ON conflicts (id, tester, md5(content));

-- The inventory: each device as its latest stored event (by receipt) saw it, and per code type
-- the latest release an event saw after it ran.
CREATE TABLE devices (
    serial text PRIMARY KEY,
    card text NOT NULL,
    last_seen timestamptz NOT NULL,
    last_tester text NOT NULL,
    last_receipt bigint NOT NULL,
    tester_time timestamptz
);
CREATE TABLE device_releases (
    serial text NOT NULL,
    code text NOT NULL,
    release text NOT NULL,
    receipt bigint NOT NULL,
    event_id text NOT NULL,
    PRIMARY KEY (serial, code)
);

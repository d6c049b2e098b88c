-- What the reports read, kept up to date as events arrive and sets are published, so that a
-- report reads rows instead of comparing the fleet.

-- An event's exit status as its line says it ("exit"); failures are the events whose status is
-- not 0, read newest first from a time on. The lines stored before are read once here; one whose
-- "exit" is no whole number keeps NULL. A line the database's JSON cannot read as text (a NUL
-- escaped in one of its strings) is searched for the member as the writer writes it.
ALTER TABLE events ADD COLUMN exit_status integer;
CREATE FUNCTION pg_temp.exit_of(line text) RETURNS integer LANGUAGE plpgsql AS $$
BEGIN
    RETURN (line::json ->> 'exit')::integer;
EXCEPTION WHEN others THEN
    RETURN substring(line FROM ',"exit":(-?[0-9]{1,9})[,}]')::integer;
END $$;
UPDATE events SET exit_status = pg_temp.exit_of(content) WHERE content LIKE '%"exit"%';
DROP FUNCTION pg_temp.exit_of(text);
CREATE INDEX events_failures ON events (received) WHERE exit_status <> 0;

-- A tester's largest clock difference: the largest |received - tester's time| of its events.
ALTER TABLE testers ADD COLUMN clock_seconds bigint;
UPDATE testers t SET clock_seconds = (SELECT max(abs(e.clock_seconds)) FROM events e
                                      WHERE e.tester = t.name);

-- Per set, every device the set is compared with: one whose inventory holds a release of a code
-- type the set holds for the device's family. behind: any of those code types' verdicts is not
-- Same. codes: those code types, one a line, "CODE\tDEVICE\tSET\tVERDICT\n" (each value escaped
-- as in COPY's text format); empty when the device is not behind. The ingest rewrites
-- the rows of the devices whose events it stores, the publication of a set all that set's rows.
CREATE TABLE set_devices (
    set_name text NOT NULL,
    serial text NOT NULL,
    behind boolean NOT NULL,
    codes text NOT NULL,
    PRIMARY KEY (set_name, serial)
);
CREATE INDEX set_devices_behind ON set_devices (set_name, serial COLLATE "C") WHERE behind;

-- The counts of set_devices per set as changes: each transaction that changes the rows adds
-- what it changed (never updating a row another one would wait on); a report sums them.
CREATE TABLE set_counts (
    set_name text NOT NULL,
    compared bigint NOT NULL,
    behind bigint NOT NULL
);
CREATE INDEX set_counts_set ON set_counts (set_name);

-- Release sets delivered to the testers, the groups they are assigned to, and what the
-- reports keep up to date as events arrive and sets are published.

-- A signed release folder as its publisher signed it: the manifest and its signature byte for
-- byte, and every file the manifest lists. The collector holds no private key and changes
-- nothing: a tester verifies what it downloads with its own trusted keys.
CREATE TABLE publications (
    id bigserial PRIMARY KEY,
    set_name text NOT NULL,
    sequence bigint NOT NULL,
    manifest bytea NOT NULL,
    signature bytea NOT NULL,
    manifest_sha256 text NOT NULL CHECK (manifest_sha256 ~ '^[0-9a-f]{64}$'),
    published timestamptz NOT NULL DEFAULT now(),
    published_by text NOT NULL DEFAULT current_user
);
CREATE TABLE publication_files (
    publication bigint NOT NULL REFERENCES publications (id),
    name text NOT NULL,
    content bytea NOT NULL,
    sha256 text NOT NULL CHECK (sha256 ~ '^[0-9a-f]{64}$'),
    PRIMARY KEY (publication, name)
);

-- A named set: the publication it stands for now. Publishing under the name again replaces it.
CREATE TABLE release_sets (
    name text PRIMARY KEY,
    publication bigint NOT NULL REFERENCES publications (id),
    updated timestamptz NOT NULL DEFAULT now()
);

-- Per set, the release each code type of each family holds, from the Release-Ids of its
-- manifest's ".rel" files (family 'communication' or 'measurement'; code as the events name it:
-- LC, PROM, BS, CPLD, MAC). Replaced with the set's publication.
CREATE TABLE set_releases (
    set_name text NOT NULL REFERENCES release_sets (name),
    family text NOT NULL CHECK (family IN ('communication', 'measurement')),
    code text NOT NULL,
    release text NOT NULL,
    PRIMARY KEY (set_name, family, code)
);

-- A tester's group, and the set each group is assigned.
ALTER TABLE testers ADD COLUMN group_name text;
CREATE INDEX testers_group ON testers (group_name);
CREATE TABLE group_sets (
    group_name text PRIMARY KEY,
    set_name text NOT NULL REFERENCES release_sets (name),
    assigned timestamptz NOT NULL DEFAULT now()
);

-- J4 Updater's records: every update attempt of every station, one row each.
-- The programs create this when it is missing; a database administrator may
-- run it instead, as the owner of the schema the stations write into, and
-- then give the stations' role only INSERT and SELECT.
--
-- j4_schema holds the version of this layout, one row, so that a later
-- release can migrate it. Everything below may be run again.

CREATE TABLE IF NOT EXISTS j4_schema (
    one boolean PRIMARY KEY DEFAULT true CHECK (one),
    version integer NOT NULL
);
INSERT INTO j4_schema (version) VALUES (1) ON CONFLICT (one) DO NOTHING;

CREATE TABLE IF NOT EXISTS j4_attempts (
    attempt uuid PRIMARY KEY,            -- made by the station, once per attempt
    station text NOT NULL,
    operator text,
    unit text,                           -- the unit's serial number, when scanned
    started timestamptz NOT NULL,
    ended timestamptz NOT NULL,
    program_version text,
    host text,
    file text NOT NULL,
    file_sha256 text,
    image_bytes bigint,
    frames bigint,
    port_number integer,
    slot integer,
    device text,
    adapter text,
    adapter_serial text,
    outcome text NOT NULL,               -- completed, port_failed, ...
    message text,                        -- the result as the operator saw it
    detail text,
    bytes_accepted bigint,
    transmissions bigint,
    rejects bigint,
    duration_ms bigint,
    signature_key_id text,
    release_version text,
    trusted_comment text,
    -- A file name, unit or operator that is not UTF-8, byte for byte (the
    -- text columns hold it readable, with U+FFFD for what is not).
    file_bytes bytea,
    unit_bytes bytea,
    operator_bytes bytea,
    record json NOT NULL,                -- the log line itself, as written
    received timestamptz NOT NULL DEFAULT now()
);

CREATE INDEX IF NOT EXISTS j4_attempts_unit ON j4_attempts (unit);
CREATE INDEX IF NOT EXISTS j4_attempts_file_sha256 ON j4_attempts (file_sha256);
CREATE INDEX IF NOT EXISTS j4_attempts_station ON j4_attempts (station);
CREATE INDEX IF NOT EXISTS j4_attempts_started ON j4_attempts (started);

-- Yield per station and day (UTC): attempts, completed, and their share.
-- An interrupted attempt counts as an attempt that did not complete.
CREATE OR REPLACE VIEW j4_station_yield AS
SELECT station,
       (started AT TIME ZONE 'UTC')::date AS day,
       count(*) AS attempts,
       count(*) FILTER (WHERE outcome = 'completed') AS completed,
       count(*) FILTER (WHERE outcome <> 'completed') AS failed,
       round(100.0 * count(*) FILTER (WHERE outcome = 'completed') / count(*), 1)
           AS yield_percent
FROM j4_attempts
GROUP BY station, day;

-- A unit's history: every attempt on one unit serial, newest first:
--   SELECT * FROM j4_unit_history WHERE unit = 'J4-00012345';
CREATE OR REPLACE VIEW j4_unit_history AS
SELECT unit, started, outcome, release_version, file_sha256, signature_key_id,
       station, slot, operator, file, message, attempt
FROM j4_attempts
WHERE unit IS NOT NULL
ORDER BY unit, started DESC;

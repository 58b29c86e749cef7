-- Step 3 (the plant's layout 2): yields by unit in the plant's own day, and
-- what each station does now (its slots and its heartbeat).

-- What a plant calls yield. The plant's day runs in its own time zone
-- (j4_schema.time_zone, an IANA name such as 'Europe/Berlin'; UTC unset).
ALTER TABLE j4_schema ADD COLUMN IF NOT EXISTS time_zone text;

-- What each station does now, for a live view of the plant: a row per
-- slot, and a heartbeat, kept current by the station at most once a second
-- (and every 15 s unchanged). Listeners on j4_live hear a station's name
-- when it reports, listeners on j4_attempt when its records arrive.
CREATE TABLE IF NOT EXISTS j4_slot_states (
    station text NOT NULL,
    slot integer NOT NULL,               -- from 1; 0: the updater window's port
    state text NOT NULL,                 -- empty, plugged, scan, updating, completed, failed
    unit text,
    since timestamptz NOT NULL,
    PRIMARY KEY (station, slot)
);
CREATE TABLE IF NOT EXISTS j4_station_heartbeats (
    station text PRIMARY KEY,
    line text,
    program_version text,
    host text,
    slots integer NOT NULL,
    heard timestamptz NOT NULL
);

-- The line's audit records in PostgreSQL: one row per unit, as a station's korvath-cli wrote
-- it. Load once into the line's database; loading again changes nothing:
--   psql -d korvath -v ON_ERROR_STOP=1 -f schema.sql
-- The central rsyslog stores each line it receives through korvath_store(); its database role
-- needs nothing but EXECUTE on that procedure (see the end of this file).

-- A unit: when the central rsyslog received its line, the station that sent it (its host
-- name), and the audit line itself. The run id, port and unit number name one line: a line
-- delivered twice (a station's rsyslog resending after a lost acknowledgement, a shipper
-- re-reading its file) is kept once.
CREATE TABLE IF NOT EXISTS korvath_unit (
    id       bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    received timestamptz NOT NULL,
    station  text NOT NULL,
    line     jsonb NOT NULL CHECK (jsonb_typeof(line) = 'object'),
    run_id   text GENERATED ALWAYS AS (line ->> 'run_id') STORED NOT NULL,
    port     text GENERATED ALWAYS AS (line ->> 'port') STORED NOT NULL,
    unit     integer GENERATED ALWAYS AS ((line ->> 'unit')::integer) STORED NOT NULL,
    UNIQUE (run_id, port, unit)
);
-- "What became of this unit?" looks a serial number up.
CREATE INDEX IF NOT EXISTS korvath_unit_serial
    ON korvath_unit ((line ->> 'serial')) WHERE line ? 'serial';

-- A line that is no audit line (not a JSON object; without run_id, port or unit; times or
-- numbers that do not read as such), as a file from another program or a line cut short
-- would be: kept here with the reason, so that nothing received is lost and no such line
-- holds up the lines behind it.
CREATE TABLE IF NOT EXISTS korvath_rejected (
    id       bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    received timestamptz NOT NULL,
    station  text NOT NULL,
    line     text NOT NULL,
    reason   text NOT NULL
);

-- Stores one received line (a procedure: rsyslog takes a statement that returns rows for a
-- failure). It never fails on the line's content: a line that is no audit
-- line goes to korvath_rejected, since a statement that failed would be retried by rsyslog
-- for ever. It runs with its owner's rights, so the storing role can do nothing else.
CREATE OR REPLACE PROCEDURE korvath_store(received timestamptz, station text, line text)
LANGUAGE plpgsql
SECURITY DEFINER
SET search_path = public, pg_temp
AS $$
DECLARE
    object jsonb;
BEGIN
    object := korvath_store.line::jsonb;
    -- The views read these as times and numbers: one that is not would fail every view.
    PERFORM (object ->> 'started')::timestamptz, (object ->> 'finished')::timestamptz,
            (object ->> 'exit')::integer, (object ->> 'seconds')::numeric;
    INSERT INTO korvath_unit (received, station, line)
    VALUES (korvath_store.received, korvath_store.station, object)
    ON CONFLICT (run_id, port, unit) DO NOTHING;
EXCEPTION WHEN data_exception OR integrity_constraint_violation THEN
    INSERT INTO korvath_rejected (received, station, line, reason)
    VALUES (korvath_store.received, korvath_store.station, korvath_store.line, SQLERRM);
END
$$;
REVOKE ALL ON PROCEDURE korvath_store(timestamptz, text, text) FROM PUBLIC;
-- Then, for the role in the central rsyslog's conninfo:
--   GRANT EXECUTE ON PROCEDURE korvath_store(timestamptz, text, text) TO rsyslog;

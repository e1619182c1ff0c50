-- Views over the line's records (load after schema.sql; loading again replaces them):
--   psql -d korvath -v ON_ERROR_STOP=1 -f queries.sql
-- Days and hours are those of the session's time zone (SET TIME ZONE 'Europe/Berlin'), taken
-- from when each unit's download started. A unit failed when its exit code is not 0: a
-- controller or line failure, a refused image, or a unit stopped by a signal.

-- Yield per image and day. An image is its SHA-256: the same file copied to several
-- stations is one image, a changed file of the same name another; `image` shows one of its
-- paths.
CREATE OR REPLACE VIEW korvath_yield AS
SELECT (u.line ->> 'started')::timestamptz::date AS day,
       u.line ->> 'image_sha256' AS image_sha256,
       min(u.line ->> 'image') AS image,
       count(*) AS units,
       count(*) FILTER (WHERE (u.line ->> 'exit')::integer = 0) AS passed,
       count(*) FILTER (WHERE (u.line ->> 'exit')::integer <> 0) AS failed,
       round(100.0 * count(*) FILTER (WHERE (u.line ->> 'exit')::integer = 0) / count(*), 1)
           AS yield_percent
FROM korvath_unit AS u
GROUP BY 1, 2;

-- Failures per day by cause and by the last status text: `cause` is the audit line's cause
-- (NULL for lines that carry none), `result` the status the unit ended on.
CREATE OR REPLACE VIEW korvath_failures AS
SELECT (u.line ->> 'started')::timestamptz::date AS day,
       u.line ->> 'cause' AS cause,
       u.line ->> 'result' AS result,
       count(*) AS units,
       string_agg(DISTINCT u.station, ', ' ORDER BY u.station) AS stations
FROM korvath_unit AS u
WHERE (u.line ->> 'exit')::integer <> 0
GROUP BY 1, 2, 3;

-- Units per station and hour, with the mean download time.
CREATE OR REPLACE VIEW korvath_station_hours AS
SELECT u.station,
       date_trunc('hour', (u.line ->> 'started')::timestamptz) AS hour,
       count(*) AS units,
       count(*) FILTER (WHERE (u.line ->> 'exit')::integer = 0) AS passed,
       count(*) FILTER (WHERE (u.line ->> 'exit')::integer <> 0) AS failed,
       round(avg((u.line ->> 'seconds')::numeric), 1) AS mean_seconds
FROM korvath_unit AS u
GROUP BY 1, 2;

-- The last result per serial number (units flashed with --ask-serial): the unit's latest
-- download, wherever it ran.
CREATE OR REPLACE VIEW korvath_last_result AS
SELECT DISTINCT ON (u.line ->> 'serial')
       u.line ->> 'serial' AS serial,
       (u.line ->> 'finished')::timestamptz AS finished,
       u.line ->> 'result' AS result,
       (u.line ->> 'exit')::integer AS exit,
       u.line ->> 'cause' AS cause,
       u.station,
       u.port,
       u.line ->> 'image' AS image,
       u.run_id,
       u.unit
FROM korvath_unit AS u
WHERE u.line ? 'serial'
ORDER BY u.line ->> 'serial', (u.line ->> 'finished')::timestamptz DESC, u.id DESC;

-- The lab server's roles and database for Savro-2 registers.
--
-- Run once by the DBA as a superuser (or a role with CREATEROLE and
-- CREATEDB), on a cluster whose locale is UTF-8 (ru_RU.UTF-8 or C.UTF-8:
-- lower() must know Cyrillic for the sample name search):
--     psql -h SERVER -U postgres -d postgres -f roles.sql
-- Another database name than savro2:  ... -v dbname=lab2 -f roles.sql
-- Then give each login role its password in psql:
--     \password savro2_owner
--     \password savro2_writer
--     \password savro2_reader
-- Safe to run again: what exists is kept, privileges are set again.
--
-- savro2_owner   owns the database and the program's tables. The program
--                creates its tables, and upgrades them after a program
--                update, when it connects as this role: IT enters it once
--                in one register's lab server settings and presses
--                "Проверить соединение", then puts the writer back. Nobody
--                logs in as the owner day to day.
-- savro2_writer  what the registers log in as: adds measurements, name
--                changes and invalid marks, and reads them; cannot change
--                or delete a row. A register connecting as the writer to a
--                database whose tables are missing or older than it needs is
--                refused, with that reason, until the owner has connected.
--                One login per computer, if wanted:
--                    CREATE ROLE lab_pc_3 LOGIN IN ROLE savro2_writer;
-- savro2_reader  the quality manager's: reads only. More readers:
--                    CREATE ROLE quality_2 LOGIN IN ROLE savro2_reader;
--
-- The registers take the password from the password file of the user
-- running them (~/.pgpass, or the file PGPASSFILE names) or from a service
-- file (PGSERVICEFILE); it is never kept in Savro2.Ini.

\set ON_ERROR_STOP on
\if :{?dbname}
\else
\set dbname savro2
\endif

SELECT 'CREATE ROLE savro2_owner LOGIN'
 WHERE NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'savro2_owner') \gexec
SELECT 'CREATE ROLE savro2_writer LOGIN'
 WHERE NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'savro2_writer') \gexec
SELECT 'CREATE ROLE savro2_reader LOGIN'
 WHERE NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'savro2_reader') \gexec

SELECT format('CREATE DATABASE %I OWNER savro2_owner ENCODING ''UTF8'' TEMPLATE template0', :'dbname')
 WHERE NOT EXISTS (SELECT FROM pg_database WHERE datname = :'dbname') \gexec

REVOKE ALL ON DATABASE :"dbname" FROM PUBLIC;
GRANT CONNECT, TEMPORARY ON DATABASE :"dbname" TO savro2_owner, savro2_writer, savro2_reader;
-- The queries here are short scans of a few hundred thousand rows: compiling
-- them (JIT) costs more than it saves.
ALTER DATABASE :"dbname" SET jit = off;
-- The quality manager's searches over months keep their row bitmaps exact,
-- and are planned for the name and period asked: a frequent sample's first
-- page reads the period in time order, a rare one's goes by the name index.
ALTER ROLE savro2_reader SET work_mem = '32MB';
ALTER ROLE savro2_reader SET plan_cache_mode = force_custom_plan;

\connect :"dbname"

-- The sample name search index needs it (contrib); the program also tries
-- to make it as the owner.
SELECT 'CREATE EXTENSION IF NOT EXISTS pg_trgm'
 WHERE EXISTS (SELECT FROM pg_available_extensions WHERE name = 'pg_trgm') \gexec

-- Only the owner creates tables here; the others may use what it made.
ALTER SCHEMA public OWNER TO savro2_owner;
REVOKE ALL ON SCHEMA public FROM PUBLIC;
GRANT USAGE ON SCHEMA public TO savro2_writer, savro2_reader;

-- The program grants these itself when it creates its tables; this is for
-- tables made before the roles were.
DO $$
BEGIN
    IF to_regclass('public.measurement') IS NOT NULL THEN
        GRANT SELECT, INSERT ON public.measurement, public.name_change, public.invalid_mark
            TO savro2_writer;
        GRANT SELECT ON public.schema_version TO savro2_writer;
        GRANT SELECT ON public.measurement, public.name_change, public.invalid_mark,
            public.schema_version TO savro2_reader;
    END IF;
    IF to_regclass('public.server_identity') IS NOT NULL THEN
        GRANT SELECT ON public.server_identity TO savro2_writer, savro2_reader;
    END IF;
END
$$;

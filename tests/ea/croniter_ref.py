#!/usr/bin/python3
# The independent side of the schedule reference test: reads the cases the
# test wrote, one a line, and writes one instant (seconds since the epoch)
# a line, 0 where the reference finds none.
#
#   C <zone> <now> <minute> <hour> <day> <month> <weekday>
#       the next instant after now whose local time a five-field text
#       matches: croniter finds the matching wall times, the zone's rules
#       turn them into instants (a wall time the clock skips never comes, one
#       it repeats comes at its first occurrence still ahead).  croniter's
#       own handling of daylight saving moves results an hour off the text,
#       so it is given wall times without a zone.  Each item of the day list
#       is asked on its own: croniter misses the first days of a month when
#       the list also holds days the month before lacks (1,30 read on 25
#       February gives 30 March).  When both the day and the weekday are
#       restricted, either may match.
#   S <zone> <now> <year> <month> <day> <hour> <minute>
#       the instant of that local time by the zone's own rules (month 1-12),
#       0 when it is not after now or the month lacks the day; a wall time that occurs twice, or not
#       at all, has two readings, given as "a/b"
#
# Exit status 3 (with a line on standard error) when croniter is missing.
import sys

try:
    import datetime
    import zoneinfo

    from croniter import croniter, CroniterBadDateError
except ImportError as e:
    sys.stderr.write("croniter_ref: %s (install python3-croniter)\n" % e)
    sys.exit(3)

UTC = datetime.timezone.utc


def wall_next(fields, wall):
    """The first wall time after wall that the text matches, or None."""
    texts = []
    if fields[2] == "*":
        texts.append(fields)
    else:
        for piece in fields[2].split(","):
            texts.append(fields[:2] + [piece, fields[3], "*"])
        if fields[4] != "*":
            texts.append(fields[:2] + ["*"] + fields[3:])
    found = []
    for t in texts:
        try:
            found.append(croniter(" ".join(t), wall).get_next(datetime.datetime))
        except CroniterBadDateError:
            pass
    return min(found) if found else None


def next_cron(zone, now, fields):
    tz = zoneinfo.ZoneInfo(zone)
    here = datetime.datetime.fromtimestamp(now, tz)
    wall = here.replace(tzinfo=None)
    # In the first pass of a repeated hour the wall times just behind come
    # again after now.
    back = here.utcoffset() - here.replace(fold=1).utcoffset()
    if here.fold == 0 and back > datetime.timedelta(0):
        wall -= back
    while True:
        wall = wall_next(fields, wall)
        if wall is None:
            return "0"
        for fold in (0, 1):
            t = wall.replace(tzinfo=tz, fold=fold)
            if t.astimezone(UTC).astimezone(tz).replace(tzinfo=None) != wall:
                break  # skipped by the clock
            if int(t.timestamp()) > now:
                return str(int(t.timestamp()))


def special(zone, now, y, mo, d, h, mi):
    tz = zoneinfo.ZoneInfo(zone)
    found = []
    for fold in (0, 1):
        try:
            ts = int(datetime.datetime(y, mo, d, h, mi, tzinfo=tz, fold=fold).timestamp())
        except ValueError:
            return "0"  # a day the month does not have
        found.append(str(ts) if ts > now else "0")
    return found[0] if found[0] == found[1] else found[0] + "/" + found[1]


def main():
    if len(sys.argv) != 3:
        sys.stderr.write("usage: croniter_ref.py CASES RESULTS\n")
        return 2
    out = []
    with open(sys.argv[1]) as f:
        for line in f:
            p = line.split()
            if p[0] == "C":
                out.append(next_cron(p[1], int(p[2]), p[3:8]))
            else:
                out.append(special(p[1], int(p[2]), *map(int, p[3:8])))
    with open(sys.argv[2], "w") as f:
        f.write("\n".join(out) + "\n")
    return 0


sys.exit(main())

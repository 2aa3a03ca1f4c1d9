#!/usr/bin/perl
# Checks a database written by nuvak-dbtool with Debian's XBase and
# XBase::Index (libdbd-xbase-perl), which we did not write:
#  - every record of the four .dbf files, against the description;
#  - every tag of the .mdx files walked in order: keys ascending, each record
#    listed once under the key its field holds, the records of one key in
#    description order;
#  - keys found through the .mdx: a seek of each key lands on the first
#    record of that key; a seek of an absent key (between keys, below the
#    first, past the last) lands on the next greater key or on nothing.
# usage: xbase_check.pl DESCRIPTION DIR
use strict;
use warnings;
use FindBin;
use lib $FindBin::Bin;
use XBase;
use XBase::Index;
require "$FindBin::Bin/description.pl";

my ($desc, $dir) = @ARGV;
die "usage: $0 DESCRIPTION DIR\n" unless defined $dir;
my $expect = Description::read_file($desc);
my $failures = 0;
my $checks = 0;
sub fail { print "FAIL: @_\n"; $failures++; exit 1 if $failures > 20; }

# The dBASE IV numeric key: exponent byte, digit count and sign, packed BCD.
sub decode_key {
    my ($k) = @_;
    my @b = unpack('C12', $k);
    return 0 if $b[0] == 0x34 && ($b[1] & 0x7F) == 0x01;
    my $digits = join('', map { sprintf('%02x', $_) } @b[2 .. 11]);
    die "not packed decimal\n" if $digits =~ /[a-f]/;
    my $e = $b[0] - 0x34;
    # Decimal text first, so that integers come out exact.
    my $v = $e >= 0 ? (substr($digits, 0, $e) . '.' . substr($digits, $e)) + 0
                    : ('0.' . ('0' x -$e) . $digits) + 0;
    return ($b[1] & 0x80) ? -$v : $v;
}
sub encode_key {
    my ($n) = @_;    # non-negative integer
    return pack('C2 x10', 0x34, 0x01) if $n == 0;
    my $d = "$n";
    my $bcd = $d . ('0' x (20 - length $d));
    return pack('C2', 0x34 + length($d), 0x29) . pack('H20', $bcd);
}

my %tables = (
    nuvak  => { tags => ['GRPTOUR'],   group => [qw(GRPPRESET GRPDWELL)] },
    grppre => { tags => ['GRPPRESET'], group => [qw(MON CAM CAMPRESET)] },
    cam    => { tags => ['CAM', 'LCAM'] },
    mon    => { tags => ['MON', 'LMON'] },
);

for my $name (sort keys %tables) {
    my $rows = $expect->{$name};
    my $dbf = XBase->new("$dir/$name.dbf") or do { fail("$name.dbf: " . XBase->errstr); next };
    my $n = $dbf->last_record + 1;
    fail("$name: $n records, expected " . scalar(@$rows)) if $n != @$rows;

    # Every record, as a multiset of the described fields.
    my (%have, %want);
    my @records;
    for my $i (0 .. $n - 1) {
        my $r = $dbf->get_record_as_hash($i) or do { fail("$name: record $i unreadable"); next };
        fail("$name: record $i deleted") if $r->{_DELETED};
        push @records, $r;
    }
    for my $row (@$rows) {
        my $sig = join('|', map { "$_=" . $row->{$_} } sort keys %$row);
        $want{$sig}++;
    }
    for my $r (@records) {
        my $row = $rows->[0] or last;
        my $sig = join('|', map {
            my $v = $r->{$_};
            $v = '' unless defined $v;
            $v =~ s/\s+$//;
            $v =~ s/^\s+// if $v =~ /^\s*-?[\d.]+$/;
            "$_=$v"
        } sort keys %$row);
        $have{$sig}++;
    }
    for my $sig (keys %want) {
        $checks++;
        fail("$name: record '$sig' found " . ($have{$sig} // 0) . " times, expected $want{$sig}")
            if ($have{$sig} // 0) != $want{$sig};
    }

    for my $tag (@{$tables{$name}{tags}}) {
        my $idx = XBase::Index->new("$dir/$name.mdx", dbf => $dbf, tag => $tag)
            or do { fail("$name.mdx $tag: " . XBase::Index->errstr); next };
        $idx->prepare_select;
        my (%seen, %runs, @order);
        my $last;
        while (my ($key, $recno) = $idx->fetch) {
            my $v = decode_key($key);
            fail("$name/$tag: key $v after $last") if defined $last && $v < $last;
            $last = $v;
            fail("$name/$tag: record $recno listed twice") if $seen{$recno}++;
            my $r = $records[$recno - 1] or do { fail("$name/$tag: record $recno out of range"); next };
            fail("$name/$tag: record $recno holds $r->{$tag}, index says $v") if $r->{$tag} != $v;
            if (my $g = $tables{$name}{group}) {
                push @order, $v unless exists $runs{$v};
                push @{$runs{$v}}, join(',', map { $r->{$_} } @$g);
            }
            $checks++;
        }
        fail("$name/$tag: " . scalar(keys %seen) . " entries, expected $n") if keys %seen != $n;

        # Records of one key in description order.
        if (my $g = $tables{$name}{group}) {
            my %desc;
            for my $row (@$rows) {
                push @{$desc{$row->{$tag}}}, join(',', map { $row->{$_} } @$g);
            }
            for my $k (keys %desc) {
                $checks++;
                my $got = join(' ', @{$runs{$k} // []});
                my $want = join(' ', @{$desc{$k}});
                fail("$name/$tag $k: index order '$got', described '$want'") if $got ne $want;
            }
        }

        # Seeks through the index, present and absent keys.
        my %keys = map { $_->{$tag} => 1 } @$rows;
        my @present = sort { $a <=> $b } keys %keys;
        my @absent = (0, ($present[-1] // 0) + 1, ($present[-1] // 0) + 1000);
        for my $i (1 .. $#present) {
            push @absent, $present[$i - 1] + 1 if $present[$i] > $present[$i - 1] + 1;
        }
        my $cur = $dbf->prepare_select_with_index(["$dir/$name.mdx", $tag], $dbf->field_names);
        for my $k (@present, @absent) {
            $cur->find_eq(encode_key($k));
            my $h = $cur->fetch_hashref;
            my $next = (grep { $_ >= $k } @present)[0];
            $checks++;
            if (!defined $next) {
                fail("$name/$tag: seek $k past the end found record " . $cur->last_fetched) if $h;
                next;
            }
            if (!$h) { fail("$name/$tag: seek $k found nothing, expected $next"); next; }
            fail("$name/$tag: seek $k landed on $h->{$tag}, expected $next") if $h->{$tag} != $next;
            if (my $g = $tables{$name}{group}) {
                my $first = (grep { $_->{$tag} == $next } @$rows)[0];
                my $got = join(',', map { $h->{$_} } @$g);
                my $want = join(',', map { $first->{$_} } @$g);
                fail("$name/$tag: seek $k gave '$got', the key's first record is '$want'")
                    if $got ne $want;
            }
        }
    }
}
print "xbase_check: $checks checks, $failures failures\n";
exit($failures ? 1 : 0);

#include "demo/demo_data.h"

#include <algorithm>
#include <cerrno>
#include <array>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <unordered_set>

#include "dbfiles/candb.h"
#include "dbfiles/lookup.h"
#include "dbfiles/usdb.h"
#include "platform/platform.h"
#include "demo/publish.h"
#include "fcc/zip_archive.h"
#include "updater/convert_canada.h"
#include "updater/doupdate.h"
#include "updater/updater_state.h"

namespace calldb::demo {

namespace {

// ---------------------------------------------------------------------------------------------
// Word lists

struct City {
  const char* name;
  const char* state;
  std::uint32_t zip;
};

// Real US cities with their states and a ZIP code of each; territories and the military post
// offices too.
constexpr City kUsCities[] = {
    {"BIRMINGHAM", "AL", 35203}, {"MONTGOMERY", "AL", 36104}, {"MOBILE", "AL", 36602},
    {"HUNTSVILLE", "AL", 35801}, {"TUSCALOOSA", "AL", 35401}, {"DOTHAN", "AL", 36301},
    {"AUBURN", "AL", 36830}, {"ANCHORAGE", "AK", 99501}, {"FAIRBANKS", "AK", 99701},
    {"JUNEAU", "AK", 99801}, {"KETCHIKAN", "AK", 99901}, {"WASILLA", "AK", 99654},
    {"PHOENIX", "AZ", 85004}, {"TUCSON", "AZ", 85701}, {"MESA", "AZ", 85201},
    {"FLAGSTAFF", "AZ", 86001}, {"YUMA", "AZ", 85364}, {"PRESCOTT", "AZ", 86301},
    {"SCOTTSDALE", "AZ", 85251}, {"LITTLE ROCK", "AR", 72201}, {"FAYETTEVILLE", "AR", 72701},
    {"FORT SMITH", "AR", 72901}, {"JONESBORO", "AR", 72401}, {"HOT SPRINGS", "AR", 71901},
    {"LOS ANGELES", "CA", 90012}, {"SAN DIEGO", "CA", 92101}, {"SAN FRANCISCO", "CA", 94102},
    {"SAN JOSE", "CA", 95113}, {"SACRAMENTO", "CA", 95814}, {"FRESNO", "CA", 93721},
    {"OAKLAND", "CA", 94612}, {"LONG BEACH", "CA", 90802}, {"BAKERSFIELD", "CA", 93301},
    {"ANAHEIM", "CA", 92805}, {"RIVERSIDE", "CA", 92501}, {"SANTA ROSA", "CA", 95404},
    {"REDDING", "CA", 96001}, {"EUREKA", "CA", 95501}, {"SANTA BARBARA", "CA", 93101},
    {"PASADENA", "CA", 91101}, {"CHICO", "CA", 95926}, {"MODESTO", "CA", 95354},
    {"STOCKTON", "CA", 95202}, {"SAN LUIS OBISPO", "CA", 93401}, {"DENVER", "CO", 80202},
    {"COLORADO SPRINGS", "CO", 80903}, {"BOULDER", "CO", 80302}, {"FORT COLLINS", "CO", 80521},
    {"PUEBLO", "CO", 81003}, {"GRAND JUNCTION", "CO", 81501}, {"DURANGO", "CO", 81301},
    {"HARTFORD", "CT", 6103}, {"NEW HAVEN", "CT", 6510}, {"BRIDGEPORT", "CT", 6604},
    {"STAMFORD", "CT", 6901}, {"NORWICH", "CT", 6360}, {"WATERBURY", "CT", 6702},
    {"WILMINGTON", "DE", 19801}, {"DOVER", "DE", 19901}, {"NEWARK", "DE", 19711},
    {"WASHINGTON", "DC", 20001}, {"MIAMI", "FL", 33130}, {"ORLANDO", "FL", 32801},
    {"TAMPA", "FL", 33602}, {"JACKSONVILLE", "FL", 32202}, {"TALLAHASSEE", "FL", 32301},
    {"GAINESVILLE", "FL", 32601}, {"PENSACOLA", "FL", 32501}, {"SARASOTA", "FL", 34236},
    {"FORT MYERS", "FL", 33901}, {"MELBOURNE", "FL", 32901}, {"OCALA", "FL", 34471},
    {"KEY WEST", "FL", 33040}, {"DAYTONA BEACH", "FL", 32114}, {"ATLANTA", "GA", 30303},
    {"SAVANNAH", "GA", 31401}, {"AUGUSTA", "GA", 30901}, {"MACON", "GA", 31201},
    {"COLUMBUS", "GA", 31901}, {"ATHENS", "GA", 30601}, {"VALDOSTA", "GA", 31601},
    {"HONOLULU", "HI", 96813}, {"HILO", "HI", 96720}, {"KAILUA", "HI", 96734},
    {"LIHUE", "HI", 96766}, {"BOISE", "ID", 83702}, {"IDAHO FALLS", "ID", 83402},
    {"POCATELLO", "ID", 83201}, {"COEUR D ALENE", "ID", 83814}, {"TWIN FALLS", "ID", 83301},
    {"CHICAGO", "IL", 60601}, {"SPRINGFIELD", "IL", 62701}, {"PEORIA", "IL", 61602},
    {"ROCKFORD", "IL", 61101}, {"NAPERVILLE", "IL", 60540}, {"CHAMPAIGN", "IL", 61820},
    {"JOLIET", "IL", 60432}, {"DECATUR", "IL", 62523}, {"INDIANAPOLIS", "IN", 46204},
    {"FORT WAYNE", "IN", 46802}, {"EVANSVILLE", "IN", 47708}, {"SOUTH BEND", "IN", 46601},
    {"BLOOMINGTON", "IN", 47401}, {"LAFAYETTE", "IN", 47901}, {"MUNCIE", "IN", 47305},
    {"DES MOINES", "IA", 50309}, {"CEDAR RAPIDS", "IA", 52401}, {"DAVENPORT", "IA", 52801},
    {"IOWA CITY", "IA", 52240}, {"SIOUX CITY", "IA", 51101}, {"DUBUQUE", "IA", 52001},
    {"AMES", "IA", 50010}, {"WICHITA", "KS", 67202}, {"TOPEKA", "KS", 66603},
    {"LAWRENCE", "KS", 66044}, {"SALINA", "KS", 67401}, {"MANHATTAN", "KS", 66502},
    {"DODGE CITY", "KS", 67801}, {"LOUISVILLE", "KY", 40202}, {"LEXINGTON", "KY", 40507},
    {"BOWLING GREEN", "KY", 42101}, {"FRANKFORT", "KY", 40601}, {"PADUCAH", "KY", 42001},
    {"OWENSBORO", "KY", 42301}, {"NEW ORLEANS", "LA", 70112}, {"BATON ROUGE", "LA", 70801},
    {"SHREVEPORT", "LA", 71101}, {"LAFAYETTE", "LA", 70501}, {"LAKE CHARLES", "LA", 70601},
    {"MONROE", "LA", 71201}, {"PORTLAND", "ME", 4101}, {"BANGOR", "ME", 4401},
    {"AUGUSTA", "ME", 4330}, {"LEWISTON", "ME", 4240}, {"PRESQUE ISLE", "ME", 4769},
    {"BALTIMORE", "MD", 21202}, {"ANNAPOLIS", "MD", 21401}, {"FREDERICK", "MD", 21701},
    {"HAGERSTOWN", "MD", 21740}, {"SALISBURY", "MD", 21801}, {"ROCKVILLE", "MD", 20850},
    {"BOSTON", "MA", 2108}, {"WORCESTER", "MA", 1608}, {"SPRINGFIELD", "MA", 1103},
    {"LOWELL", "MA", 1852}, {"CAMBRIDGE", "MA", 2139}, {"PITTSFIELD", "MA", 1201},
    {"NEW BEDFORD", "MA", 2740}, {"AMHERST", "MA", 1002}, {"DETROIT", "MI", 48226},
    {"GRAND RAPIDS", "MI", 49503}, {"LANSING", "MI", 48933}, {"ANN ARBOR", "MI", 48104},
    {"FLINT", "MI", 48502}, {"KALAMAZOO", "MI", 49007}, {"TRAVERSE CITY", "MI", 49684},
    {"MARQUETTE", "MI", 49855}, {"SAGINAW", "MI", 48607}, {"MINNEAPOLIS", "MN", 55401},
    {"SAINT PAUL", "MN", 55101}, {"DULUTH", "MN", 55802}, {"ROCHESTER", "MN", 55901},
    {"SAINT CLOUD", "MN", 56301}, {"BEMIDJI", "MN", 56601}, {"MANKATO", "MN", 56001},
    {"JACKSON", "MS", 39201}, {"GULFPORT", "MS", 39501}, {"HATTIESBURG", "MS", 39401},
    {"TUPELO", "MS", 38801}, {"MERIDIAN", "MS", 39301}, {"BILOXI", "MS", 39530},
    {"KANSAS CITY", "MO", 64106}, {"SAINT LOUIS", "MO", 63101}, {"SPRINGFIELD", "MO", 65806},
    {"COLUMBIA", "MO", 65201}, {"JEFFERSON CITY", "MO", 65101}, {"JOPLIN", "MO", 64801},
    {"BILLINGS", "MT", 59101}, {"MISSOULA", "MT", 59802}, {"BOZEMAN", "MT", 59715},
    {"GREAT FALLS", "MT", 59401}, {"HELENA", "MT", 59601}, {"BUTTE", "MT", 59701},
    {"OMAHA", "NE", 68102}, {"LINCOLN", "NE", 68508}, {"GRAND ISLAND", "NE", 68801},
    {"KEARNEY", "NE", 68847}, {"NORTH PLATTE", "NE", 69101}, {"LAS VEGAS", "NV", 89101},
    {"RENO", "NV", 89501}, {"CARSON CITY", "NV", 89701}, {"HENDERSON", "NV", 89002},
    {"ELKO", "NV", 89801}, {"MANCHESTER", "NH", 3101}, {"CONCORD", "NH", 3301},
    {"NASHUA", "NH", 3060}, {"PORTSMOUTH", "NH", 3801}, {"KEENE", "NH", 3431},
    {"NEWARK", "NJ", 7102}, {"TRENTON", "NJ", 8608}, {"JERSEY CITY", "NJ", 7302},
    {"CAMDEN", "NJ", 8102}, {"PATERSON", "NJ", 7505}, {"TOMS RIVER", "NJ", 8753},
    {"PRINCETON", "NJ", 8540}, {"ALBUQUERQUE", "NM", 87102}, {"SANTA FE", "NM", 87501},
    {"LAS CRUCES", "NM", 88001}, {"ROSWELL", "NM", 88201}, {"FARMINGTON", "NM", 87401},
    {"NEW YORK", "NY", 10001}, {"BUFFALO", "NY", 14202}, {"ROCHESTER", "NY", 14604},
    {"SYRACUSE", "NY", 13202}, {"ALBANY", "NY", 12207}, {"BINGHAMTON", "NY", 13901},
    {"ITHACA", "NY", 14850}, {"UTICA", "NY", 13501}, {"BROOKLYN", "NY", 11201},
    {"BRONX", "NY", 10451}, {"PLATTSBURGH", "NY", 12901}, {"ELMIRA", "NY", 14901},
    {"POUGHKEEPSIE", "NY", 12601}, {"WATERTOWN", "NY", 13601}, {"CHARLOTTE", "NC", 28202},
    {"RALEIGH", "NC", 27601}, {"GREENSBORO", "NC", 27401}, {"DURHAM", "NC", 27701},
    {"ASHEVILLE", "NC", 28801}, {"WILMINGTON", "NC", 28401}, {"FAYETTEVILLE", "NC", 28301},
    {"BOONE", "NC", 28607}, {"FARGO", "ND", 58102}, {"BISMARCK", "ND", 58501},
    {"GRAND FORKS", "ND", 58201}, {"MINOT", "ND", 58701}, {"COLUMBUS", "OH", 43215},
    {"CLEVELAND", "OH", 44113}, {"CINCINNATI", "OH", 45202}, {"TOLEDO", "OH", 43604},
    {"AKRON", "OH", 44308}, {"DAYTON", "OH", 45402}, {"YOUNGSTOWN", "OH", 44503},
    {"ATHENS", "OH", 45701}, {"CANTON", "OH", 44702}, {"OKLAHOMA CITY", "OK", 73102},
    {"TULSA", "OK", 74103}, {"NORMAN", "OK", 73069}, {"LAWTON", "OK", 73501},
    {"STILLWATER", "OK", 74074}, {"ENID", "OK", 73701}, {"PORTLAND", "OR", 97204},
    {"EUGENE", "OR", 97401}, {"SALEM", "OR", 97301}, {"BEND", "OR", 97701},
    {"MEDFORD", "OR", 97501}, {"CORVALLIS", "OR", 97330}, {"ASTORIA", "OR", 97103},
    {"PHILADELPHIA", "PA", 19107}, {"PITTSBURGH", "PA", 15222}, {"HARRISBURG", "PA", 17101},
    {"ALLENTOWN", "PA", 18101}, {"ERIE", "PA", 16501}, {"SCRANTON", "PA", 18503},
    {"LANCASTER", "PA", 17602}, {"STATE COLLEGE", "PA", 16801}, {"READING", "PA", 19601},
    {"PROVIDENCE", "RI", 2903}, {"WARWICK", "RI", 2886}, {"NEWPORT", "RI", 2840},
    {"WOONSOCKET", "RI", 2895}, {"COLUMBIA", "SC", 29201}, {"CHARLESTON", "SC", 29401},
    {"GREENVILLE", "SC", 29601}, {"SPARTANBURG", "SC", 29301}, {"MYRTLE BEACH", "SC", 29577},
    {"FLORENCE", "SC", 29501}, {"SIOUX FALLS", "SD", 57104}, {"RAPID CITY", "SD", 57701},
    {"PIERRE", "SD", 57501}, {"ABERDEEN", "SD", 57401}, {"BROOKINGS", "SD", 57006},
    {"NASHVILLE", "TN", 37203}, {"MEMPHIS", "TN", 38103}, {"KNOXVILLE", "TN", 37902},
    {"CHATTANOOGA", "TN", 37402}, {"CLARKSVILLE", "TN", 37040}, {"JACKSON", "TN", 38301},
    {"JOHNSON CITY", "TN", 37601}, {"HOUSTON", "TX", 77002}, {"DALLAS", "TX", 75201},
    {"SAN ANTONIO", "TX", 78205}, {"AUSTIN", "TX", 78701}, {"FORT WORTH", "TX", 76102},
    {"EL PASO", "TX", 79901}, {"LUBBOCK", "TX", 79401}, {"AMARILLO", "TX", 79101},
    {"CORPUS CHRISTI", "TX", 78401}, {"WACO", "TX", 76701}, {"TYLER", "TX", 75701},
    {"ABILENE", "TX", 79601}, {"MIDLAND", "TX", 79701}, {"BROWNSVILLE", "TX", 78520},
    {"LAREDO", "TX", 78040}, {"BEAUMONT", "TX", 77701}, {"SALT LAKE CITY", "UT", 84101},
    {"PROVO", "UT", 84601}, {"OGDEN", "UT", 84401}, {"SAINT GEORGE", "UT", 84770},
    {"LOGAN", "UT", 84321}, {"MOAB", "UT", 84532}, {"BURLINGTON", "VT", 5401},
    {"MONTPELIER", "VT", 5602}, {"RUTLAND", "VT", 5701}, {"BRATTLEBORO", "VT", 5301},
    {"SAINT JOHNSBURY", "VT", 5819}, {"RICHMOND", "VA", 23219}, {"NORFOLK", "VA", 23510},
    {"VIRGINIA BEACH", "VA", 23451}, {"ROANOKE", "VA", 24011}, {"ALEXANDRIA", "VA", 22314},
    {"CHARLOTTESVILLE", "VA", 22902}, {"LYNCHBURG", "VA", 24504}, {"WINCHESTER", "VA", 22601},
    {"BLACKSBURG", "VA", 24060}, {"SEATTLE", "WA", 98101}, {"SPOKANE", "WA", 99201},
    {"TACOMA", "WA", 98402}, {"OLYMPIA", "WA", 98501}, {"BELLINGHAM", "WA", 98225},
    {"YAKIMA", "WA", 98901}, {"VANCOUVER", "WA", 98660}, {"WENATCHEE", "WA", 98801},
    {"KENNEWICK", "WA", 99336}, {"CHARLESTON", "WV", 25301}, {"HUNTINGTON", "WV", 25701},
    {"MORGANTOWN", "WV", 26505}, {"WHEELING", "WV", 26003}, {"PARKERSBURG", "WV", 26101},
    {"BECKLEY", "WV", 25801}, {"MILWAUKEE", "WI", 53202}, {"MADISON", "WI", 53703},
    {"GREEN BAY", "WI", 54301}, {"EAU CLAIRE", "WI", 54701}, {"LA CROSSE", "WI", 54601},
    {"OSHKOSH", "WI", 54901}, {"WAUSAU", "WI", 54403}, {"KENOSHA", "WI", 53140},
    {"CHEYENNE", "WY", 82001}, {"CASPER", "WY", 82601}, {"LARAMIE", "WY", 82070},
    {"SHERIDAN", "WY", 82801}, {"ROCK SPRINGS", "WY", 82901}, {"CODY", "WY", 82414},
    {"SAN JUAN", "PR", 901}, {"PONCE", "PR", 730}, {"MAYAGUEZ", "PR", 680},
    {"AGUADILLA", "PR", 603}, {"BAYAMON", "PR", 959}, {"ARECIBO", "PR", 612},
    {"CAGUAS", "PR", 725}, {"CHARLOTTE AMALIE", "VI", 802}, {"CHRISTIANSTED", "VI", 820},
    {"HAGATNA", "GU", 96910}, {"DEDEDO", "GU", 96929}, {"TAMUNING", "GU", 96913},
    {"PAGO PAGO", "AS", 96799}, {"SAIPAN", "MP", 96950}, {"APO", "AE", 9012},
    {"FPO", "AP", 96601}, {"APO", "AA", 34002},
};

constexpr const char* kSurnames[] = {
    "SMITH", "JOHNSON", "WILLIAMS", "BROWN", "JONES", "MILLER", "DAVIS", "GARCIA", "RODRIGUEZ",
    "WILSON", "MARTINEZ", "ANDERSON", "TAYLOR", "THOMAS", "HERNANDEZ", "MOORE", "MARTIN",
    "JACKSON", "THOMPSON", "WHITE", "LOPEZ", "LEE", "GONZALEZ", "HARRIS", "CLARK", "LEWIS",
    "ROBINSON", "WALKER", "PEREZ", "HALL", "YOUNG", "ALLEN", "SANCHEZ", "WRIGHT", "KING", "SCOTT",
    "GREEN", "BAKER", "ADAMS", "NELSON", "HILL", "RAMIREZ", "CAMPBELL", "MITCHELL", "ROBERTS",
    "CARTER", "PHILLIPS", "EVANS", "TURNER", "TORRES", "PARKER", "COLLINS", "EDWARDS", "STEWART",
    "FLORES", "MORRIS", "NGUYEN", "MURPHY", "RIVERA", "COOK", "ROGERS", "MORGAN", "PETERSON",
    "COOPER", "REED", "BAILEY", "BELL", "GOMEZ", "KELLY", "HOWARD", "WARD", "COX", "DIAZ",
    "RICHARDSON", "WOOD", "WATSON", "BROOKS", "BENNETT", "GRAY", "JAMES", "REYES", "CRUZ",
    "HUGHES", "PRICE", "MYERS", "LONG", "FOSTER", "SANDERS", "ROSS", "MORALES", "POWELL",
    "SULLIVAN", "RUSSELL", "ORTIZ", "JENKINS", "GUTIERREZ", "PERRY", "BUTLER", "BARNES", "FISHER",
    "HENDERSON", "COLEMAN", "SIMMONS", "PATTERSON", "JORDAN", "REYNOLDS", "HAMILTON", "GRAHAM",
    "KIM", "GONZALES", "ALEXANDER", "RAMOS", "WALLACE", "GRIFFIN", "WEST", "COLE", "HAYES",
    "CHAVEZ", "GIBSON", "BRYANT", "ELLIS", "STEVENS", "MURRAY", "FORD", "MARSHALL", "OWENS",
    "MCDONALD", "HARRISON", "RUIZ", "KENNEDY", "WELLS", "ALVAREZ", "WOODS", "MENDOZA", "CASTILLO",
    "OLSON", "WEBB", "WASHINGTON", "TUCKER", "FREEMAN", "BURNS", "HENRY", "VASQUEZ", "SNYDER",
    "SIMPSON", "CRAWFORD", "JIMENEZ", "PORTER", "MASON", "SHAW", "GORDON", "WAGNER", "HUNTER",
    "ROMERO", "HICKS", "DIXON", "HUNT", "PALMER", "ROBERTSON", "BLACK", "HOLMES", "STONE", "MEYER",
    "BOYD", "MILLS", "WARREN", "FOX", "ROSE", "RICE", "MORENO", "SCHMIDT", "PATEL", "FERGUSON",
    "NICHOLS", "HERRERA", "MEDINA", "RYAN", "FERNANDEZ", "WEAVER", "DANIELS", "STEPHENS",
    "GARDNER", "PAYNE", "KELLEY", "DUNN", "PIERCE", "ARNOLD", "TRAN", "SPENCER", "PETERS",
    "HAWKINS", "GRANT", "HANSEN", "CASTRO", "HOFFMAN", "HART", "ELLIOTT", "CUNNINGHAM", "KNIGHT",
    "BRADLEY", "O'BRIEN", "VAN DYKE", "LINDQUIST", "KOWALSKI", "DEGROOT", "ST JOHN",
};

constexpr const char* kGivenNames[] = {
    "JAMES", "JOHN", "ROBERT", "MICHAEL", "WILLIAM", "DAVID", "RICHARD", "JOSEPH", "THOMAS",
    "CHARLES", "CHRISTOPHER", "DANIEL", "MATTHEW", "ANTHONY", "DONALD", "MARK", "PAUL", "STEVEN",
    "ANDREW", "KENNETH", "JOSHUA", "KEVIN", "BRIAN", "GEORGE", "EDWARD", "RONALD", "TIMOTHY",
    "JASON", "JEFFREY", "RYAN", "JACOB", "GARY", "NICHOLAS", "ERIC", "JONATHAN", "STEPHEN",
    "LARRY", "JUSTIN", "SCOTT", "BRANDON", "BENJAMIN", "SAMUEL", "GREGORY", "FRANK", "ALEXANDER",
    "RAYMOND", "PATRICK", "JACK", "DENNIS", "JERRY", "TYLER", "AARON", "JOSE", "HENRY", "ADAM",
    "DOUGLAS", "NATHAN", "PETER", "ZACHARY", "KYLE", "WALTER", "HAROLD", "JEREMY", "ETHAN", "CARL",
    "KEITH", "ROGER", "GERALD", "CHRISTIAN", "TERRY", "SEAN", "ARTHUR", "AUSTIN", "NOAH",
    "LAWRENCE", "JESSE", "JOE", "BRYAN", "BILLY", "JORDAN", "ALBERT", "DYLAN", "BRUCE", "WILLIE",
    "GABRIEL", "ALAN", "JUAN", "LOGAN", "WAYNE", "RALPH", "ROY", "EUGENE", "RANDY", "VINCENT",
    "RUSSELL", "LOUIS", "PHILIP", "BOBBY", "JOHNNY", "BRADLEY", "MARY", "PATRICIA", "JENNIFER",
    "LINDA", "ELIZABETH", "BARBARA", "SUSAN", "JESSICA", "SARAH", "KAREN", "NANCY", "LISA",
    "BETTY", "MARGARET", "SANDRA", "ASHLEY", "KIMBERLY", "EMILY", "DONNA", "MICHELLE", "DOROTHY",
    "CAROL", "AMANDA", "MELISSA", "DEBORAH", "STEPHANIE", "REBECCA", "SHARON", "LAURA", "CYNTHIA",
    "KATHLEEN", "AMY", "SHIRLEY", "ANGELA", "HELEN", "ANNA", "BRENDA", "PAMELA", "NICOLE", "EMMA",
    "SAMANTHA", "KATHERINE", "CHRISTINE", "DEBRA", "RACHEL", "CATHERINE", "CAROLYN", "JANET",
    "RUTH", "MARIA", "HEATHER", "DIANE", "VIRGINIA", "JULIE", "JOYCE", "VICTORIA", "KELLY",
    "CHRISTINA", "JOAN", "EVELYN", "LAUREN", "JUDITH", "OLIVIA", "MARTHA", "CHERYL", "MEGAN",
    "ANDREA", "ANN", "ALICE", "JEAN", "DORIS", "JACQUELINE", "KATHRYN", "HANNAH", "JUDY",
};

constexpr const char* kSuffixes[] = {"JR", "SR", "II", "III"};

constexpr const char* kStreetNames[] = {
    "OAK", "MAPLE", "PINE", "CEDAR", "ELM", "WASHINGTON", "LAKE", "HILL", "PARK", "MAIN",
    "CHURCH", "HIGH", "MILL", "SPRING", "RIDGE", "VIEW", "WILLOW", "LINCOLN", "JEFFERSON",
    "FRANKLIN", "MADISON", "JACKSON", "CHESTNUT", "WALNUT", "SUNSET", "RIVER", "FOREST",
    "MEADOW", "HICKORY", "DOGWOOD", "MAGNOLIA", "BIRCH", "ASPEN", "SYCAMORE", "LAUREL", "VALLEY",
    "CENTER", "SCHOOL", "NORTH", "SOUTH", "EAST", "WEST", "1ST", "2ND", "3RD", "4TH", "5TH",
    "6TH", "7TH", "8TH", "9TH", "10TH", "12TH", "MARCONI", "ANTENNA", "HARBOR", "CANYON",
    "PRAIRIE", "ORCHARD", "MOUNTAIN VIEW", "COUNTRY CLUB", "MILL CREEK", "INDIAN TRAIL",
    "SAGEBRUSH", "BLUEBONNET", "PEACHTREE", "COTTONWOOD", "JUNIPER", "MESQUITE", "TAMARACK",
};

constexpr const char* kStreetTypes[] = {"ST", "AVE", "RD", "DR", "LN", "CT", "WAY", "BLVD",
                                        "PL", "CIR", "TRL", "PKWY", "HWY", "TER", "LOOP"};

constexpr const char* kClubWords[] = {
    "TRI COUNTY", "VALLEY", "MOUNTAIN", "LAKESHORE", "RIVER CITY", "PRAIRIE", "CAPITOL",
    "PIONEER", "FRONTIER", "SUNCOAST", "HIGH DESERT", "NORTH SHORE", "BLUE RIDGE", "GOLDEN GATE",
    "BIG SKY", "HEARTLAND", "PANHANDLE", "CASCADE", "EMERALD COAST", "GREAT LAKES",
};

// The call district most licensees of a state hold.
int district_of(const char* state) {
  static const struct {
    const char* states;
    int district;
  } kDistricts[] = {
      {"CT ME MA NH RI VT", 1}, {"NY NJ", 2}, {"DE DC MD PA", 3},
      {"AL FL GA KY NC SC TN VA PR VI", 4}, {"AR LA MS NM OK TX", 5}, {"CA HI GU AS MP", 6},
      {"AZ ID MT NV OR UT WA WY AK", 7}, {"MI OH WV", 8}, {"IL IN WI", 9},
  };
  const std::string_view code(state);
  for (const auto& d : kDistricts) {
    const std::string_view list(d.states);
    for (std::size_t i = 0; i + 2 <= list.size(); i += 3) {
      if (list.substr(i, 2) == code) return d.district;
    }
  }
  return 0;
}

std::uint32_t state_index(const char* code) {
  for (int i = 1; i < dbfiles::kStateCount; ++i) {
    if (std::string_view(dbfiles::StateCodes[i]) == code) return static_cast<std::uint32_t>(i);
  }
  return 0;
}

char letter(Random& rng) { return static_cast<char>('A' + rng.below(26)); }

// ---------------------------------------------------------------------------------------------
// Canadian word lists

struct CanadianPlace {
  const char* city;
  const char* fsa;  // the postal code's first three characters
};

struct CanadianPrefix {
  const char* prefix;
  const char* province;  // "" for none
  std::uint32_t weight;  // licences in 10,000
  const CanadianPlace* places;
  std::size_t place_count;
};

constexpr CanadianPlace kNs[] = {{"HALIFAX", "B3H"}, {"DARTMOUTH", "B2Y"}, {"SYDNEY", "B1P"},
                                 {"TRURO", "B2N"}, {"YARMOUTH", "B5A"}, {"Middle Sackville", "B4E"}};
constexpr CanadianPlace kNb[] = {{"MONCTON", "E1C"}, {"SAINT JOHN", "E2L"},
                                 {"FREDERICTON", "E3B"}, {"Bathurst", "E2A"}};
constexpr CanadianPlace kPe[] = {{"CHARLOTTETOWN", "C1A"}, {"SUMMERSIDE", "C1N"}};
constexpr CanadianPlace kNl[] = {{"ST. JOHN'S", "A1C"}, {"CORNER BROOK", "A2H"},
                                 {"GANDER", "A1V"}};
constexpr CanadianPlace kLabrador[] = {{"HAPPY VALLEY-GOOSE BAY", "A0P"},
                                       {"LABRADOR CITY", "A2V"}};
constexpr CanadianPlace kQc[] = {{"MONTREAL", "H2X"}, {"QUEBEC", "G1R"}, {"SHERBROOKE", "J1H"},
                                 {"GATINEAU", "J8X"}, {"TROIS-RIVIERES", "G9A"}, {"LAVAL", "H7N"},
                                 {"Saguenay", "G7H"}};
constexpr CanadianPlace kOn[] = {{"TORONTO", "M5V"}, {"OTTAWA", "K1P"}, {"HAMILTON", "L8P"},
                                 {"LONDON", "N6A"}, {"KINGSTON", "K7L"}, {"SUDBURY", "P3E"},
                                 {"THUNDER BAY", "P7B"}, {"WINDSOR", "N9A"}, {"Barrie", "L4M"},
                                 {"MISSISSAUGA", "L5B"}};
constexpr CanadianPlace kMb[] = {{"WINNIPEG", "R3C"}, {"BRANDON", "R7A"}, {"THOMPSON", "R8N"}};
constexpr CanadianPlace kSk[] = {{"REGINA", "S4P"}, {"SASKATOON", "S7K"},
                                 {"PRINCE ALBERT", "S6V"}, {"Moose Jaw", "S6H"}};
constexpr CanadianPlace kAb[] = {{"CALGARY", "T2P"}, {"EDMONTON", "T5J"}, {"RED DEER", "T4N"},
                                 {"LETHBRIDGE", "T1J"}, {"GRANDE PRAIRIE", "T8V"}};
constexpr CanadianPlace kBc[] = {{"VANCOUVER", "V6B"}, {"VICTORIA", "V8W"}, {"KELOWNA", "V1Y"},
                                 {"NANAIMO", "V9R"}, {"PRINCE GEORGE", "V2L"},
                                 {"Kamloops", "V2C"}};
constexpr CanadianPlace kNt[] = {{"YELLOWKNIFE", "X1A"}, {"INUVIK", "X0E"}, {"HAY RIVER", "X0E"}};
constexpr CanadianPlace kNu[] = {{"IQALUIT", "X0A"}, {"RANKIN INLET", "X0C"}};
constexpr CanadianPlace kYt[] = {{"WHITEHORSE", "Y1A"}, {"DAWSON", "Y0B"}};

template <std::size_t N>
constexpr CanadianPrefix prefix(const char* p, const char* province, std::uint32_t weight,
                                const CanadianPlace (&places)[N]) {
  return CanadianPrefix{p, province, weight, places, N};
}

// Each prefix's share is kept under about two thirds of what its suffixes can hold.
constexpr CanadianPrefix kCanadianPrefixes[] = {
    prefix("VA1", "NS", 230, kNs),  prefix("VA2", "QC", 820, kQc),  prefix("VA3", "ON", 1290, kOn),
    prefix("VA4", "MB", 120, kMb),  prefix("VA5", "SK", 120, kSk),  prefix("VA6", "AB", 580, kAb),
    prefix("VA7", "BC", 940, kBc),  prefix("VE0", "", 30, kNs),     prefix("VE1", "NS", 410, kNs),
    prefix("VE2", "QC", 1050, kQc), prefix("VE3", "ON", 1290, kOn), prefix("VE4", "MB", 290, kMb),
    prefix("VE5", "SK", 230, kSk),  prefix("VE6", "AB", 700, kAb),  prefix("VE7", "BC", 1050, kBc),
    prefix("VE8", "NT", 50, kNt),   prefix("VE9", "NB", 290, kNb),  prefix("VO1", "NL", 290, kNl),
    prefix("VO2", "NL", 60, kLabrador), prefix("VY0", "NU", 25, kNu), prefix("VY1", "YT", 45, kYt),
    prefix("VY2", "PE", 90, kPe),
};

constexpr const char* kCanadianGiven[] = {
    "Bill", "Jeffrey", "DAVID", "John M.", "Alexander", "James Russel", "Michael", "Andrew",
    "Jean-Guy", "Marie", "Pierre", "Sylvie", "Luc", "Francois", "Isabelle", "Robert", "Gordon",
    "Douglas", "Heather", "Ian", "Kenneth", "Margaret", "Wayne", "Donald", "Brian", "Susan",
    "Gerald", "Normand", "Real", "Gilles", "Claude", "Denis", "Yves", "Richard", "Paul", "Karen",
    "Mark", "Steven", "Lorne", "Murray", "Trevor", "Darren", "Colin", "Allan George", "LEISL",
    "Harold Dewolf", "JEFFREY", "Nathalie", "Raymond", "Emily", "Olivia", "Liam", "Noah",
};

constexpr const char* kCanadianSurnames[] = {
    "McFadden", "Taylor", "LEWIS", "Campbell", "Palmeter", "Browne", "Day", "KILBREATH",
    "Schaffner", "Hannon", "Vander Kooi", "MacAulay", "Tremblay", "Gagnon", "Roy", "Cote",
    "Bouchard", "Gauthier", "Morin", "Lavoie", "Fortin", "Gagne", "Ouellet", "Pelletier",
    "Belanger", "Levesque", "Bergeron", "Leblanc", "Paquette", "Girard", "Simard", "Boucher",
    "MacDonald", "MacKenzie", "Fraser", "MacLeod", "Murray", "Stewart", "Robertson", "Wilson",
    "Thompson", "Anderson", "Martin", "Brown", "Smith", "Wong", "Chen", "Singh", "Li", "Nguyen",
    "O'Neill", "Kowalczyk", "Friesen", "Penner", "Wiebe", "Klassen", "St-Pierre", "MOSHER",
};

constexpr const char* kCanadianStreets[] = {
    "MILLWOOD DRIVE", "Pleasant Street", "Howe St", "PELHAM ST", "Robinson Road",
    "South st.", "RUE PRINCIPALE", "rue des Erables", "KING ST W", "Queen Street East",
    "MAIN ST", "Portage Ave", "Jasper Ave NW", "MACLEOD TRAIL SE", "Granville St",
    "Douglas Street", "WATER ST", "Water Street", "BOUL. SAINT-LAURENT", "CH. DU LAC",
    "Bay Road", "CONCESSION RD 4", "Range Road 212", "PERRIER DRIVE", "Harbourview Rd",
};

constexpr const char* kCanadianClubs[] = {
    "Amateur Radio Club", "AMATEUR RADIO CLUB", "Amateur Radio Society",
    "AMATEUR RADIO EMERGENCY SERVICE", "Radio Club", "CLUB RADIO AMATEUR", "Repeater Association",
};

// ---------------------------------------------------------------------------------------------

std::string year_month_day(std::int64_t day) {
  const updater::Date d = updater::date_from_days(day);
  char text[16];
  std::snprintf(text, sizeof text, "%04d%02d%02d", d.year, d.month, d.day);
  return text;
}

void put_field(std::string* line, std::size_t at, std::size_t width, const std::string& value) {
  if (line->size() < at + width) line->resize(at + width, ' ');
  const std::size_t n = std::min(width, value.size());
  line->replace(at, n, value, 0, n);
  line->replace(at + n, width - n, width - n, ' ');
}

std::string spaced_postal(const std::string& postal) {
  if (postal.size() == 6 && postal.find(' ') == std::string::npos) {
    return postal.substr(0, 3) + " " + postal.substr(3);
  }
  return postal;
}

void put16(std::string* out, std::uint32_t v) {
  out->push_back(static_cast<char>(v & 0xFF));
  out->push_back(static_cast<char>((v >> 8) & 0xFF));
}
void put32(std::string* out, std::uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

std::string us_call_text(const char* prefix, int district, int suffix_letters, Random& rng) {
  std::string call(prefix);
  call.push_back(static_cast<char>('0' + district));
  for (int i = 0; i < suffix_letters; ++i) call.push_back(letter(rng));
  return call;
}

std::string us_call(Random& rng, int district) {
  static const char kOne[] = "KNW";
  const std::uint32_t roll = rng.below(1000);
  char prefix[3] = {kOne[rng.below(3)], 0, 0};
  int suffix = 3;
  if (roll < 15) {  // 1x2
    suffix = 2;
  } else if (roll < 195) {  // 1x3
    suffix = 3;
  } else if (roll < 198) {  // 2x1
    prefix[1] = letter(rng);
    suffix = 1;
  } else if (roll < 340) {  // 2x2, a fifth of them AA-AL
    if (rng.chance(200)) {
      prefix[0] = 'A';
      prefix[1] = static_cast<char>('A' + rng.below(12));
    } else {
      prefix[1] = letter(rng);
    }
    suffix = 2;
  } else {  // 2x3
    prefix[1] = letter(rng);
  }
  return us_call_text(prefix, district, suffix, rng);
}

std::string individual_name(Random& rng) {
  std::string name = rng.pick(kSurnames);
  name += ", ";
  name += rng.pick(kGivenNames);
  if (rng.chance(700)) {
    name += ' ';
    name += letter(rng);
  }
  if (rng.chance(30)) {
    name += ' ';
    name += rng.pick(kSuffixes);
  }
  return name;
}

std::string club_name(Random& rng, const City& city) {
  const std::string base = rng.chance(500) ? city.name : rng.pick(kClubWords);
  return base + (rng.chance(600) ? " AMATEUR RADIO CLUB" : " ARC");
}

void set_address(Random& rng, const City& city, dbfiles::UsRecord* r) {
  r->city = city.name;
  r->state = state_index(city.state);
  r->zip = city.zip + rng.below(10);
  r->po_box = rng.chance(50);
  if (r->po_box) {
    r->street = std::to_string(1 + rng.below(rng.chance(800) ? 2000 : 30000));
    return;
  }
  r->street = std::to_string(1 + rng.below(rng.chance(700) ? 2000 : 20000));
  r->street += ' ';
  r->street += rng.pick(kStreetNames);
  r->street += ' ';
  r->street += rng.pick(kStreetTypes);
  if (rng.chance(80)) r->street += " APT " + std::to_string(1 + rng.below(40));
}

dbfiles::UsRecord licence_in(Random& rng, dbfiles::CallKey key, const City& city) {
  dbfiles::UsRecord r;
  r.key = key;
  r.name = rng.chance(20) ? club_name(rng, city) : individual_name(rng);
  set_address(rng, city, &r);
  return r;
}

bool by_key(const dbfiles::UsRecord& a, const dbfiles::UsRecord& b) { return a.key < b.key; }

// New licences of callsigns not in `taken`, which they join; unsorted.
void add_new_licences(Random& rng, std::size_t count, std::unordered_set<dbfiles::CallKey>* taken,
                      std::vector<dbfiles::UsRecord>* out,
                      const std::function<void(std::size_t)>& progress) {
  const std::size_t start = out->size();
  while (out->size() - start < count) {
    const City& city = rng.pick(kUsCities);
    const int district = rng.chance(850) ? district_of(city.state)
                                          : static_cast<int>(rng.below(10));
    const std::string call = us_call(rng, district);
    const dbfiles::CallKey key = dbfiles::encode_call(call.c_str());
    if (!taken->insert(key).second) continue;
    out->push_back(licence_in(rng, key, city));
    if (progress && (out->size() - start) % 16384 == 0) progress(out->size() - start);
  }
}

// A quiet worker link for the conversion: keeps the log for a failure's message.
class QuietLink : public updater::WorkerLink {
 public:
  void log_text(std::string_view text) override { log_.append(text); }
  void set_value_cell(updater::ValueCell, std::string_view) override {}
  void set_row_cell(int, updater::RowCell, std::string_view) override {}
  updater::Answer message_box(std::string_view text, std::string_view, updater::Buttons,
                              updater::Icon) override {
    log_.append(text).append("\r\n");
    return updater::Answer::ok;
  }
  void finished(int, std::int32_t, std::int32_t) override {}
  const std::string& log() const { return log_; }

 private:
  std::string log_;
};

int write_file(const std::string& path, std::string_view bytes, std::string* error) {
  platform::NewFile file;
  int err = file.create(path);
  if (err == 0) err = file.file().write(bytes.data(), bytes.size()).error;
  if (err == 0) err = file.commit();
  if (err != 0) {
    *error = path + ": cannot be written (error " + std::to_string(err) + ")";
    return -1;
  }
  return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Random

Random::Random(std::uint64_t seed) {
  for (std::uint64_t& s : s_) {
    seed += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = seed;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    s = z ^ (z >> 31);
  }
}

std::uint64_t Random::next() {
  const auto rotl = [](std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); };
  const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
  const std::uint64_t t = s_[1] << 17;
  s_[2] ^= s_[0];
  s_[3] ^= s_[1];
  s_[1] ^= s_[2];
  s_[0] ^= s_[3];
  s_[2] ^= t;
  s_[3] = rotl(s_[3], 45);
  return result;
}

std::uint32_t Random::below(std::uint32_t n) {
  // Lemire's multiply-shift; the slight bias of 32 random bits does not matter here.
  return static_cast<std::uint32_t>(((next() >> 32) * static_cast<std::uint64_t>(n)) >> 32);
}

// ---------------------------------------------------------------------------------------------
// US licences

bool us_call_shape(std::string_view call, CallShape* shape) {
  std::size_t digit = 0;
  while (digit < call.size() && call[digit] >= 'A' && call[digit] <= 'Z') ++digit;
  if (digit == 0 || digit > 2 || digit >= call.size() || call[digit] < '0' || call[digit] > '9') {
    return false;
  }
  const std::size_t suffix = call.size() - digit - 1;
  for (std::size_t i = digit + 1; i < call.size(); ++i) {
    if (call[i] < 'A' || call[i] > 'Z') return false;
  }
  if (digit == 1 && suffix == 2) *shape = CallShape::k1x2;
  else if (digit == 1 && suffix == 3) *shape = CallShape::k1x3;
  else if (digit == 2 && suffix == 1) *shape = CallShape::k2x1;
  else if (digit == 2 && suffix == 2) *shape = CallShape::k2x2;
  else if (digit == 2 && suffix == 3) *shape = CallShape::k2x3;
  else return false;
  return true;
}

std::string random_us_call(Random& rng) {
  return us_call(rng, static_cast<int>(rng.below(10)));
}

dbfiles::UsRecord random_us_licence(Random& rng, dbfiles::CallKey key) {
  return licence_in(rng, key, rng.pick(kUsCities));
}

std::vector<dbfiles::UsRecord> make_us_licences(Random& rng, std::size_t count,
                                                const std::function<void(std::size_t)>& progress) {
  std::vector<dbfiles::UsRecord> licences;
  licences.reserve(count);
  std::unordered_set<dbfiles::CallKey> taken;
  taken.reserve(count + count / 4);
  add_new_licences(rng, count, &taken, &licences, progress);
  std::sort(licences.begin(), licences.end(), by_key);
  return licences;
}

std::vector<dbfiles::PrevEntry> make_previous_calls(Random& rng,
                                                    const std::vector<dbfiles::UsRecord>& licences,
                                                    std::size_t count) {
  std::vector<dbfiles::PrevEntry> entries;
  if (licences.empty()) return entries;
  std::unordered_set<dbfiles::CallKey> taken;
  taken.reserve(licences.size() + count);
  for (const dbfiles::UsRecord& r : licences) taken.insert(r.key);
  entries.reserve(count);
  while (entries.size() < count) {
    const dbfiles::CallKey old_key = dbfiles::encode_call(random_us_call(rng).c_str());
    if (!taken.insert(old_key).second) continue;
    const std::uint32_t at = rng.below(static_cast<std::uint32_t>(licences.size()));
    entries.push_back(dbfiles::PrevEntry{old_key, licences[at].key});
  }
  std::sort(entries.begin(), entries.end(),
            [](const dbfiles::PrevEntry& a, const dbfiles::PrevEntry& b) {
              return a.old_key < b.old_key;
            });
  return entries;
}

WeekChanges next_week(Random& rng, std::vector<dbfiles::UsRecord>* licences) {
  WeekChanges week;
  const std::size_t size = licences->size();
  if (size == 0) return week;
  // Scaled to the database; a little different from week to week.
  const std::size_t added = size / 260 + rng.below(static_cast<std::uint32_t>(size / 2600 + 1));
  const std::size_t changed = size / 520 + rng.below(static_cast<std::uint32_t>(size / 5200 + 1));
  const std::size_t deleted = size / 650 + rng.below(static_cast<std::uint32_t>(size / 6500 + 1));

  // Expired licences go; a change and a deletion of the same licence count once, as deleted.
  std::vector<bool> gone(size, false);
  for (std::size_t i = 0; i < deleted && week.deleted < size; ++i) {
    const std::uint32_t at = rng.below(static_cast<std::uint32_t>(size));
    if (!gone[at]) {
      gone[at] = true;
      ++week.deleted;
    }
  }
  for (std::size_t i = 0; i < changed; ++i) {
    dbfiles::UsRecord& r = (*licences)[rng.below(static_cast<std::uint32_t>(size))];
    const std::uint32_t what = rng.below(10);
    if (what < 7) {
      set_address(rng, rng.pick(kUsCities), &r);  // moved
    } else if (what < 9) {
      const std::size_t comma = r.name.find(", ");
      r.name = rng.pick(kSurnames) +
               (comma == std::string::npos ? ", " + std::string(rng.pick(kGivenNames))
                                           : r.name.substr(comma));
    } else {
      r.name = individual_name(rng);
    }
  }
  std::unordered_set<dbfiles::CallKey> taken;
  taken.reserve(size + added);
  std::vector<dbfiles::UsRecord> kept;
  kept.reserve(size - week.deleted + added);
  for (std::size_t i = 0; i < size; ++i) {
    taken.insert((*licences)[i].key);  // a deleted call is not handed out again the same week
    if (!gone[i]) kept.push_back(std::move((*licences)[i]));
  }
  const std::size_t old_kept = kept.size();
  add_new_licences(rng, added, &taken, &kept, {});
  std::sort(kept.begin() + static_cast<std::ptrdiff_t>(old_kept), kept.end(), by_key);
  std::inplace_merge(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(old_kept),
                     kept.end(), by_key);
  *licences = std::move(kept);
  week.added = added;
  week.changed = changed;
  return week;
}

// ---------------------------------------------------------------------------------------------
// The Canadian list

std::string fixed_column_line(const CanadianLicence& l) {
  std::string line(210, ' ');
  put_field(&line, 0, 6, l.callsign);
  put_field(&line, 7, 35, l.first_name);
  put_field(&line, 43, 35, l.surname);
  put_field(&line, 79, 70, l.address);
  put_field(&line, 150, 35, l.city);
  put_field(&line, 186, 2, l.province);
  put_field(&line, 189, 10, spaced_postal(l.postal));
  for (int q = 0; q < 5; ++q) put_field(&line, 200 + 2 * q, 1, l.quals[q]);
  if (!l.club_name.empty()) {
    put_field(&line, 210, 70, l.club_name);
    put_field(&line, 281, 70, l.club_name_2);
    put_field(&line, 352, 70, l.club_address);
    put_field(&line, 423, 35, l.club_city);
    put_field(&line, 459, 2, l.club_province);
    put_field(&line, 462, 7, spaced_postal(l.club_postal));
    while (line.size() > 211 && line.back() == ' ') line.pop_back();
  }
  return line;
}

std::string fixed_column_list(const std::vector<CanadianLicence>& licences,
                              const std::string& date) {
  std::string list =
      date + "  Canadian Amateur Call Sign List / List d'indicatif d'appel canadien\r\n";
  list += " \r\n";
  const std::string n = std::to_string(licences.size());
  list += "There are " + n + " call signs in this report. / Il y a " + n +
          " indicatifs d'appels dans ce rapport.\r\n";
  list += " \r\n";
  list.reserve(list.size() + licences.size() * 212);
  for (const CanadianLicence& l : licences) list += fixed_column_line(l) + "\r\n";
  return list + "EOF\r\n";
}

std::vector<CanadianLicence> make_canadian_licences(Random& rng, std::size_t count) {
  std::uint32_t total_weight = 0;
  for (const CanadianPrefix& p : kCanadianPrefixes) total_weight += p.weight;
  const auto postal = [&rng](const char* fsa) {
    static const char kLetters[] = "ABCEGHJKLMNPRSTVWXYZ";
    std::string code(fsa);
    code.push_back(static_cast<char>('0' + rng.below(10)));
    code.push_back(kLetters[rng.below(sizeof kLetters - 1)]);
    code.push_back(static_cast<char>('0' + rng.below(10)));
    return code;
  };
  std::vector<CanadianLicence> licences;
  licences.reserve(count);
  std::unordered_set<dbfiles::CanKey> taken;
  while (licences.size() < count) {
    std::uint32_t roll = rng.below(total_weight);
    const CanadianPrefix* p = &kCanadianPrefixes[0];
    for (const CanadianPrefix& candidate : kCanadianPrefixes) {
      p = &candidate;
      if (roll < candidate.weight) break;
      roll -= candidate.weight;
    }
    CanadianLicence l;
    l.callsign = p->prefix;
    const int letters = rng.chance(250) ? 2 : 3;
    for (int i = 0; i < letters; ++i) l.callsign.push_back(letter(rng));
    dbfiles::CanKey key = 0;
    if (dbfiles::encode_can_call(l.callsign.c_str(), &key) != 0 || !taken.insert(key).second) {
      continue;
    }
    l.first_name = rng.pick(kCanadianGiven);
    l.surname = rng.pick(kCanadianSurnames);
    const CanadianPlace& place = p->places[rng.below(static_cast<std::uint32_t>(p->place_count))];
    l.province = p->province;
    if (!rng.chance(40)) {  // most licences carry an address
      l.address = std::to_string(1 + rng.below(9999)) + " " + rng.pick(kCanadianStreets);
      l.city = place.city;
      if (!l.province.empty()) l.postal = postal(place.fsa);
    } else {
      l.province.clear();
    }
    static const char kQuals[] = "ABCDE";
    static const std::uint32_t kQualChance[] = {800, 200, 450, 400, 350};
    for (int q = 0; q < 5; ++q) {
      if (rng.chance(kQualChance[q])) l.quals[q] = std::string(1, kQuals[q]);
    }
    if (rng.chance(30)) {
      const CanadianPlace& club = p->places[rng.below(static_cast<std::uint32_t>(p->place_count))];
      l.club_name = std::string(club.city) + " " + rng.pick(kCanadianClubs);
      if (rng.chance(150)) {
        l.club_name_2 = rng.chance(500) ? "AMATEUR RADIO"
                                        : "c/o " + l.first_name + " " + l.surname;
      }
      l.club_address = rng.chance(300) ? "PO BOX " + std::to_string(1 + rng.below(2000))
                                       : std::to_string(1 + rng.below(999)) + " " +
                                             rng.pick(kCanadianStreets);
      l.club_city = club.city;
      l.club_province = p->province[0] != '\0' ? p->province : "NS";
      l.club_postal = postal(club.fsa);
    }
    licences.push_back(std::move(l));
  }
  std::sort(licences.begin(), licences.end(),
            [](const CanadianLicence& a, const CanadianLicence& b) {
              return a.callsign < b.callsign;
            });
  return licences;
}

// ---------------------------------------------------------------------------------------------
// ZIP

std::string stored_zip(const std::string& name, std::string_view data, std::string_view date) {
  const auto number = [date](std::size_t from, std::size_t len) {
    std::uint32_t n = 0;
    for (std::size_t i = from; i < from + len && i < date.size(); ++i) {
      n = n * 10 + static_cast<std::uint32_t>(date[i] - '0');
    }
    return n;
  };
  const std::uint32_t year = number(0, 4);
  const std::uint32_t dos_date =
      ((year >= 1980 ? year - 1980 : 0) << 9) | (number(4, 2) << 5) | number(6, 2);
  const std::uint32_t crc = calldb::crc32(data);
  const auto size = static_cast<std::uint32_t>(data.size());

  // Local header (30 bytes), name, data.
  std::string zip;
  zip.reserve(data.size() + 2 * name.size() + 128);
  put32(&zip, 0x04034B50);
  put16(&zip, 10);  // version needed: stored
  put16(&zip, 0);   // flags: sizes here, not after the data
  put16(&zip, 0);   // stored
  put16(&zip, 0);   // time: midnight
  put16(&zip, dos_date);
  put32(&zip, crc);
  put32(&zip, size);
  put32(&zip, size);
  put16(&zip, static_cast<std::uint32_t>(name.size()));
  put16(&zip, 0);
  zip += name;
  zip.append(data);

  // Central directory (46 bytes and the name), then its end (22 bytes).
  const auto directory = static_cast<std::uint32_t>(zip.size());
  put32(&zip, 0x02014B50);
  put16(&zip, 20);  // made by
  put16(&zip, 10);
  put16(&zip, 0);
  put16(&zip, 0);
  put16(&zip, 0);
  put16(&zip, dos_date);
  put32(&zip, crc);
  put32(&zip, size);
  put32(&zip, size);
  put16(&zip, static_cast<std::uint32_t>(name.size()));
  put16(&zip, 0);  // extra
  put16(&zip, 0);  // comment
  put16(&zip, 0);  // disk
  put16(&zip, 1);  // internal attributes: text
  put32(&zip, 0);  // external attributes
  put32(&zip, 0);  // the local header's offset
  zip += name;
  const auto directory_size = static_cast<std::uint32_t>(zip.size()) - directory;
  put32(&zip, 0x06054B50);
  put16(&zip, 0);
  put16(&zip, 0);
  put16(&zip, 1);
  put16(&zip, 1);
  put32(&zip, directory_size);
  put32(&zip, directory);
  put16(&zip, 0);
  return zip;
}

// ---------------------------------------------------------------------------------------------
// The whole demo

std::int64_t latest_friday(std::int64_t day) {
  // 1970-01-01 was a Thursday: weekday 0 is Thursday, 1 Friday.
  const std::int64_t weekday = ((day % 7) + 7) % 7;
  return day - ((weekday + 6) % 7);
}

namespace {

class DemoMaker {
 public:
  DemoMaker(const DemoOptions& options, DemoReport* report, std::string* error)
      : o_(options), report_(report), error_(error) {}
  int run();

 private:
  int fail(const std::string& message) {
    *error_ = message;
    return 1;
  }
  void progress(const std::string& stage, std::uint64_t done, std::uint64_t total) {
    if (o_.progress) o_.progress(stage, done, total);
  }
  int make_folders();
  int make_us();
  int make_canadian();

  const DemoOptions& o_;
  DemoReport* report_;
  std::string* error_;
  std::string data_;
  std::string server_;
  std::string work_;
  std::int64_t d0_ = 0;
  std::int64_t newest_ = 0;
};

int DemoMaker::make_folders() {
  std::error_code ec;
  const std::filesystem::path folder(o_.folder);
  if (std::filesystem::exists(folder, ec)) {
    if (!std::filesystem::is_directory(folder, ec)) {
      return fail(o_.folder + " exists and is not a folder; nothing written");
    }
    if (!std::filesystem::is_empty(folder, ec) || ec) {
      return fail(o_.folder + " is not empty; nothing written");
    }
  } else if (!std::filesystem::create_directory(folder, ec) || ec) {
    return fail("cannot make folder " + o_.folder + (ec ? ": " + ec.message() : std::string()));
  }
  data_ = platform::join_path(o_.folder, "calldb");
  report_->data_folder = data_;  // from here on, whatever is in the folder is this run's
  server_ = platform::join_path(o_.folder, "server");
  work_ = platform::join_path(o_.folder, ".snapshots");
  for (const std::string& f : {data_, server_, platform::join_path(server_, "datafiles"), work_}) {
    if (!std::filesystem::create_directory(f, ec) || ec) {
      return fail("cannot make folder " + f + (ec ? ": " + ec.message() : std::string()));
    }
  }
  return 0;
}

int DemoMaker::make_us() {
  Random rng(o_.seed * 4 + 1);
  progress("US licences", 0, o_.us);
  std::vector<dbfiles::UsRecord> licences =
      make_us_licences(rng, o_.us, [&](std::size_t n) { progress("US licences", n, o_.us); });
  report_->us = licences.size();
  report_->db_date = year_month_day(d0_);
  std::string error;

  Random prev_rng(o_.seed * 4 + 2);
  const std::vector<dbfiles::PrevEntry> previous =
      make_previous_calls(prev_rng, licences, o_.previous);
  report_->previous = previous.size();
  if (dbfiles::write_prev_db(platform::join_path(data_, dbfiles::kCallPrevDbName),
                             report_->db_date, previous, &error) != 0) {
    return fail(error);
  }

  // The weekly snapshots, D0 first; D0's becomes call.db.
  Random week_rng(o_.seed * 4 + 3);
  const std::string first = platform::join_path(work_, "call" + report_->db_date + ".db");
  for (int week = 0; week <= o_.weeks; ++week) {
    progress("weekly snapshots", static_cast<std::uint64_t>(week),
             static_cast<std::uint64_t>(o_.weeks) + 1);
    if (week > 0) next_week(week_rng, &licences);
    const std::string date = year_month_day(d0_ + 7 * week);
    if (dbfiles::write_call_db(platform::join_path(work_, "call" + date + ".db"), date, licences,
                               &error) != 0) {
      return fail(error);
    }
  }
  progress("weekly files", 0, static_cast<std::uint64_t>(o_.weeks));
  std::vector<Snapshot> snapshots;
  if (find_snapshots(work_, &snapshots, &error) != PublishResult::ok ||
      publish_updates(snapshots, server_,
                      [&](const PublishedFile&) {
                        ++report_->weekly_files;
                        progress("weekly files", report_->weekly_files,
                                 static_cast<std::uint64_t>(o_.weeks));
                      },
                      &error) != PublishResult::ok) {
    return fail(error);
  }
  report_->newest_date = year_month_day(newest_);
  const int moved = platform::move_file(first, platform::join_path(data_, dbfiles::kCallDbName));
  if (moved != 0) return fail("cannot move " + first + " into " + data_);
  std::error_code ec;
  std::filesystem::remove_all(work_, ec);
  return 0;
}

int DemoMaker::make_canadian() {
  progress("Canadian licences", 0, o_.canadian);
  Random rng(o_.seed * 4 + 4);
  const std::vector<CanadianLicence> licences = make_canadian_licences(rng, o_.canadian);
  report_->listed = licences.size();
  const updater::Date d = updater::date_from_days(newest_);
  char date[16];
  std::snprintf(date, sizeof date, "%04d-%02d-%02d", d.year, d.month, d.day);
  const std::string list = fixed_column_list(licences, date);

  // The data folder gets cancall.db the way an update run makes it, from amateur.txt; the
  // list itself goes again once converted.
  const std::string list_path = platform::join_path(data_, updater::kListName);
  if (write_file(list_path, list, error_) != 0) return 1;
  QuietLink link;
  updater::UpdaterState state;
  updater::WorkerEnv env;
  env.link = &link;
  env.state = &state;
  env.folder = data_;
  const int converted = updater::convert_canadian_list(env);
  platform::delete_file(list_path);
  if (converted != 0) return fail("the Canadian conversion failed:\n" + link.log());
  dbfiles::CanadianTable table;
  if (dbfiles::load_canadian_table(platform::join_path(data_, dbfiles::kCanCallDbName),
                                   &table) != 0) {
    return fail("cannot read the converted cancall.db");
  }
  report_->canadian = table.entries.size();
  progress("Canadian licences", o_.canadian, o_.canadian);

  const std::string zip = stored_zip(updater::kListName, list, year_month_day(newest_));
  return write_file(platform::join_path(server_, "datafiles/amateur.zip"), zip, error_);
}

int DemoMaker::run() {
  updater::Date today;
  const std::string& t = o_.today;
  bool digits = t.size() == 8;
  for (const char c : t) digits = digits && c >= '0' && c <= '9';
  if (digits) today = updater::Date{std::stoi(t.substr(0, 4)), std::stoi(t.substr(4, 2)),
                                    std::stoi(t.substr(6, 2))};
  if (!digits || !updater::valid_date(today)) {
    *error_ = "--today must be a date YYYYMMDD";
    return 2;
  }
  if (o_.us == 0 || o_.us > 1500000 || o_.canadian > 200000 || o_.previous > 1000000 ||
      o_.weeks < 1 || o_.weeks > 52) {
    *error_ = "sizes out of range: --us 1 to 1500000, --canadian up to 200000, --previous up "
              "to 1000000, --weeks 1 to 52";
    return 2;
  }
  newest_ = latest_friday(updater::days_since_epoch(today));
  d0_ = newest_ - 7 * o_.weeks;
  if (make_folders() != 0) return 1;
  report_->server_folder = server_;
  if (make_us() != 0 || make_canadian() != 0) return 1;
  progress("", 0, 0);
  return 0;
}

}  // namespace

int make_demo(const DemoOptions& options, DemoReport* report, std::string* error) {
  // What existed before is left alone: only a folder this run made, or the contents of the
  // empty one it was given, is removed after a failure.
  std::error_code ec;
  const bool existed = std::filesystem::exists(options.folder, ec);
  *report = DemoReport{};
  DemoMaker maker(options, report, error);
  const int rc = maker.run();
  if (rc == 1 && report->data_folder.empty()) return rc;  // refused before writing
  if (rc != 0 && rc != 2) {
    if (existed) {
      for (const auto& entry : std::filesystem::directory_iterator(options.folder, ec)) {
        std::filesystem::remove_all(entry.path(), ec);
      }
    } else {
      std::filesystem::remove_all(options.folder, ec);
    }
  }
  return rc;
}

std::vector<std::string> help_page_folders() {
  std::vector<std::string> folders;
  std::error_code error;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) folders.push_back(program.parent_path().string());
  folders.push_back(ORBISK_HELP_DIR);
  return folders;
}

int copy_help_pages(const std::vector<std::string>& folders, const std::string& data_folder) {
  for (const char* page : kHelpPages) {
    for (const std::string& folder : folders) {
      const std::string from = platform::join_path(folder, page);
      if (!platform::file_exists(from)) continue;
      const int copied = platform::copy_file(from, platform::join_path(data_folder, page),
                                             platform::NewFile::Replace::no);
      if (copied != 0 && copied != EEXIST) return copied;
      break;
    }
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// A US licensee in parts

UsLicensee random_us_licensee(Random& rng) {
  UsLicensee l;
  const City& city = rng.pick(kUsCities);
  const int district = rng.chance(850) ? district_of(city.state)
                                        : static_cast<int>(rng.below(10));
  l.call = us_call(rng, district);
  if (rng.chance(20)) {
    l.club = club_name(rng, city);
  } else {
    l.last = rng.pick(kSurnames);
    l.first = rng.pick(kGivenNames);
    if (rng.chance(700)) l.middle.assign(1, letter(rng));
    if (rng.chance(30)) l.suffix = rng.pick(kSuffixes);
  }
  dbfiles::UsRecord r;
  set_address(rng, city, &r);
  (r.po_box ? l.po_box : l.street) = r.street;
  l.city = city.name;
  l.state = city.state;
  l.zip = r.zip;
  return l;
}

}  // namespace calldb::demo
